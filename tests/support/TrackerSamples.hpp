#pragma once

// Hand-made samples, templates and appearance answers for the tests of the
// mask tracker's planning steps, which need no decoded video.

#include <mutex>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "tracking/TrackerPlanning.hpp"

using namespace scrivel;
using namespace scrivel::tracking;

namespace scrivel::tracking {
inline void PrintTo(const FrameRange& r, std::ostream* os) { *os << "[" << r.lower << ", " << r.upper << "]"; }
} // namespace scrivel::tracking

namespace {

using Ranges = std::vector<SelectionLayout::Range>;
using Motions = std::vector<std::optional<MotionTransform>>;

inline TextSelection selection(RedactionKind kind, double x, double width) { return {{x, 0, width, 1}, kind, ""}; }

inline DetectedRegion line(std::string text, NormalizedRect rect, std::vector<TextSelection> selections = {})
{
    DetectedRegion region;
    region.rect = rect;
    region.confidence = 1;
    region.text = std::move(text);
    region.selections = std::move(selections);
    return region;
}

// `count` samples at `fps`, scene changing at each index in `cuts`.
inline std::vector<DetectionSample> frames(int count, double fps, std::vector<int> cuts = {})
{
    std::vector<DetectionSample> samples;
    std::int64_t scene = 0;
    for (int i = 0; i < count; ++i) {
        if (std::find(cuts.begin(), cuts.end(), i) != cuts.end())
            ++scene;
        samples.push_back({i / fps, scene, {}});
    }
    return samples;
}

inline DetectionTemplate observedAt(std::int64_t id, std::string text, std::vector<std::int64_t> observedFrames,
                             NormalizedRect rect = {0.1, 0.1, 0.5, 0.05})
{
    DetectionTemplate t;
    t.id = id;
    t.referenceFrame = observedFrames.empty() ? 0 : observedFrames.front();
    t.referenceRegion = line(text, rect);
    t.referenceRegion.trackID = id;
    t.canonicalRegion = t.referenceRegion;
    for (const std::int64_t f : observedFrames)
        t.observations.push_back({f, 0});
    return t;
}

inline std::vector<std::int64_t> supported(const SupportSet& support, std::int64_t last)
{
    std::vector<std::int64_t> frames;
    for (std::int64_t f = 0; f <= last; ++f) {
        if (support.contains(f))
            frames.push_back(f);
    }
    return frames;
}


// Answers with whatever the test sets and remembers where it was asked.
struct ScriptedAppearance final : FrameAppearance {
    std::optional<AppearanceFit> whole;
    std::optional<AppearanceFit> parts;
    bool outsideFrame = false;
    mutable std::mutex askedMutex;
    mutable std::vector<NormalizedRect> asked; // guarded by askedMutex

    int width() const override { return 200; }
    int height() const override { return 100; }
    NormalizedRect searchBounds(const NormalizedRect& rect) const override
    {
        return outsideFrame ? NormalizedRect{2, 2, 0.1, 0.1} : rect;
    }
    std::optional<AppearanceFit> match(std::size_t, const NormalizedRect& near) const override
    {
        std::lock_guard lock(askedMutex);
        asked.push_back(near);
        return whole;
    }
    std::optional<AppearanceFit> matchVisibleParts(std::size_t, const NormalizedRect&) const override { return parts; }
};

struct TrackingScene {
    std::vector<DetectionSample> samples = frames(20, 30);
    Motions motions = Motions(20, MotionTransform::identity());
    std::vector<FrameRange> around = neighbourhoods(samples);
    std::vector<Reference> references;

    explicit TrackingScene(const DetectionTemplate& t)
    {
        for (const DetectionObservation& o : t.observations)
            samples[static_cast<std::size_t>(o.frame)].regions = {t.referenceRegion};
        around = neighbourhoods(samples);
        references.push_back(makeReference(plan({t}, around).at(0), 0, 0x123456));
    }
    std::vector<Acceptance> track(std::int64_t frame, const FrameAppearance& appearance, std::stop_token stop = {})
    {
        return trackFrame(frame, {samples, motions, around}, references, appearance, stop);
    }
};

inline DetectionTemplate withSpans(DetectionTemplate t, std::vector<TextSelection> selections)
{
    t.referenceRegion.selections = selections;
    t.canonicalRegion.selections = std::move(selections);
    return t;
}

} // namespace

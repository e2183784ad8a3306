#include "tracking/VideoMaskTracker.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "ScrivelCore/DetectionTimeline.hpp"
#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/TextTemplateBuilder.hpp"
#include "tracking/PaneShifts.hpp"
#include "scan/StageProfile.hpp"
#include "tracking/TrackerPlanning.hpp"
#include "tracking/TrackingImage.hpp"

namespace scrivel {

namespace {

constexpr double frameTimeTolerance = 1e-6;

constexpr double referencesStart = 0.85;
constexpr double referencesSpan = 0.03;
constexpr double trackingStart = 0.88;
constexpr double trackingSpan = 0.12;

void throwIfStopped(const std::stop_token& stopToken)
{
    if (stopToken.stop_requested())
        throw OperationCancelled();
}

// The tracking image of one kept picture.
struct PictureImage {
    std::size_t picture = 0;
    TrackingImage image;
};

PictureImage makeTrackingImage(const TrackingFrames& frames, std::size_t picture)
{
    std::optional<TrackingImage> image = TrackingImage::make(frames.picture(picture), TrackingFrames::dimensionPixels);
    if (!image)
        throw VideoScanError::frameConversionFailed();
    return {picture, std::move(*image)};
}

void report(const ScanProgressCallback& progress, double start, double span, std::int64_t processed,
            std::int64_t total, std::int64_t regions, const char* message)
{
    if (!progress)
        return;
    const double share = total > 0 ? std::min(static_cast<double>(processed) / static_cast<double>(total), 1.0) : 1.0;
    progress(ScanProgress{start + span * share, processed, total, regions, message});
}

// A patch's latest answers, whole and by visible parts: the frame and place
// asked, and what was found.
struct RememberedMatch {
    std::int64_t frame = -1;
    NormalizedRect near;
    std::optional<AppearanceMatch> found;
};

// The appearance queries of one decoded frame, answered by its tracking image
// with the references' patches. Where the frame before holds the same values
// wherever a query reads (most of the screen, most of the time), the answer
// it gave to the same query is this frame's answer too.
class TrackingImageAppearance final : public tracking::FrameAppearance {
public:
    // `remembered`: two per patch, kept from frame to frame; a patch is
    // asked about from one thread at a time. `previous`: frame `frame - 1`,
    // when it was tracked.
    TrackingImageAppearance(const TrackingImage& image, std::int64_t frame, const TrackingImage* previous,
                            const std::vector<AppearancePatch>& patches, std::vector<RememberedMatch>& remembered)
        : image_(image), frame_(frame), previous_(previous), patches_(patches), remembered_(remembered)
    {
        if (previous_)
            shifts_.emplace(*previous_, image_);
    }

    int width() const override { return image_.width; }
    int height() const override { return image_.height; }
    NormalizedRect searchBounds(const NormalizedRect& rect) const override { return image_.searchBounds(rect); }

    std::optional<tracking::AppearanceFit> match(std::size_t patch, const NormalizedRect& near) const override
    {
        return fit(answer(2 * patch, near, [&] { return image_.match(patches_[patch], near); }));
    }

    std::optional<tracking::AppearanceFit> matchVisibleParts(std::size_t patch, const NormalizedRect& near) const override
    {
        return fit(answer(2 * patch + 1, near, [&] { return image_.matchVisibleParts(patches_[patch], near); }));
    }

    std::optional<tracking::FrameShift> shiftSincePrevious(const NormalizedRect& rect) const override
    {
        if (!shifts_)
            return std::nullopt;
        const auto shift = shifts_->around(rect);
        return shift ? std::optional(tracking::FrameShift{shift->dx, shift->dy}) : std::nullopt;
    }

private:
    template <typename Find>
    const std::optional<AppearanceMatch>& answer(std::size_t slot, const NormalizedRect& near, Find find) const
    {
        RememberedMatch& last = remembered_[slot];
        if (!(previous_ && last.frame == frame_ - 1 && last.near == near && image_.sameWhereMatched(*previous_, near)))
            last = RememberedMatch{frame_, near, find()};
        last.frame = frame_;
        return last.found;
    }

    static std::optional<tracking::AppearanceFit> fit(const std::optional<AppearanceMatch>& match)
    {
        if (!match)
            return std::nullopt;
        return tracking::AppearanceFit{match->offsetX, match->offsetY, match->correlation};
    }

    const TrackingImage& image_;
    const std::int64_t frame_;
    const TrackingImage* previous_;
    const std::vector<AppearancePatch>& patches_;
    std::vector<RememberedMatch>& remembered_;
    std::optional<PaneShifts> shifts_; // from the frame before, when it was tracked
};

struct BuiltReferences {
    std::vector<tracking::Reference> references;
    std::vector<AppearancePatch> patches; // indexed by Reference::patch
};

// The appearance patch and background colour of every planned template,
// taken in its reference frame's picture.
BuiltReferences buildReferences(const TrackingFrames& frames, std::vector<tracking::PlannedTemplate> planned,
                                std::int64_t templateCount, const ScanProgressCallback& progress,
                                const std::stop_token& stopToken)
{
    const StageProfile::Scope referencing(ScanStage::references);
    std::map<std::int64_t, std::vector<std::size_t>> byReferenceFrame;
    for (std::size_t i = 0; i < planned.size(); ++i)
        byReferenceFrame[planned[i].detectionTemplate.referenceFrame].push_back(i);

    BuiltReferences built;
    std::optional<PictureImage> prepared;
    std::int64_t done = 0;
    for (const auto& [frame, indices] : byReferenceFrame) {
        throwIfStopped(stopToken);
        if (frame < 0 || static_cast<std::size_t>(frame) >= frames.frameCount())
            throw VideoScanError::decodeFailed();
        const std::size_t picture = frames.pictureOf(static_cast<std::size_t>(frame));
        if (!prepared || prepared->picture != picture)
            prepared = makeTrackingImage(frames, picture);
        for (const std::size_t index : indices) {
            const NormalizedRect& rect = planned[index].detectionTemplate.referenceRegion.rect;
            std::optional<AppearancePatch> patch = prepared->image.makePatch(rect);
            if (!patch)
                continue;
            const std::uint32_t color = prepared->image.backgroundColor(rect);
            built.references.push_back(tracking::makeReference(std::move(planned[index]), built.patches.size(), color));
            built.patches.push_back(std::move(*patch));
        }
        report(progress, referencesStart, referencesSpan, ++done, static_cast<std::int64_t>(byReferenceFrame.size()),
               templateCount, "Building text references");
    }
    return built;
}

} // namespace

std::vector<DetectionSample> VideoMaskTracker::track(const std::string& videoPath,
                                                     const std::vector<DetectionSample>& samples,
                                                     const std::vector<std::optional<MotionTransform>>& motions,
                                                     const ScanProgressCallback& progress,
                                                     std::stop_token stopToken) const
{
    return track(TrackingFrames::decode(videoPath, stopToken), samples, motions, progress, stopToken);
}

std::vector<DetectionSample> VideoMaskTracker::track(const TrackingFrames& frames,
                                                     const std::vector<DetectionSample>& samples,
                                                     const std::vector<std::optional<MotionTransform>>& motions,
                                                     const ScanProgressCallback& progress,
                                                     std::stop_token stopToken) const
{
    const StageProfile::Scope trackingStage(ScanStage::tracking);
    throwIfStopped(stopToken);
    const auto sampleCount = static_cast<std::int64_t>(samples.size());
    const std::vector<DetectionTemplate> templates = DetectionTimeline::templates(samples, motions);
    const std::vector<tracking::FrameRange> neighbourhoods = tracking::neighbourhoods(samples);

    std::vector<tracking::PlannedTemplate> planned = tracking::plan(templates, neighbourhoods);
    tracking::borrowSpans(planned);
    if (frames.frameCount() != samples.size())
        throw VideoScanError::decodeFailed();
    BuiltReferences built =
        buildReferences(frames, std::move(planned), static_cast<std::int64_t>(templates.size()), progress, stopToken);
    std::vector<tracking::Reference>& references = built.references;
    tracking::orderReferences(references);

    // Every frame keeps its own readings with spans to hide, misreadings of
    // a text with spans included.
    const std::vector<DetectionSample> ownReadings = tracking::withBorrowedSpans(samples, templates);

    // Second pass: follow every reference through every frame, and measure
    // the colour around each of the frame's own readings with spans to hide.
    const tracking::TrackingInputs inputs{samples, motions, neighbourhoods};
    std::vector<std::vector<tracking::Acceptance>> accepted(samples.size());
    tracking::ReadingColors readingColors(samples.size());
    std::int64_t candidateCount = 0;
    std::vector<RememberedMatch> remembered(2 * built.patches.size());
    std::optional<PictureImage> previousImage; // of frame f - 1, when tracked
    for (std::int64_t processed = 0; processed < sampleCount; ++processed) {
        throwIfStopped(stopToken);
        const auto f = static_cast<std::size_t>(processed);
        if (!(std::abs(frames.timeOf(f) - samples[f].time) < frameTimeTolerance))
            throw VideoScanError::decodeFailed();
        const std::vector<DetectedRegion>& readings = ownReadings[f].regions;
        const bool tracked = motions[f] && !references.empty();
        const bool hasSpans = std::any_of(readings.begin(), readings.end(),
            [](const DetectedRegion& region) { return !region.selections.empty(); });
        if (tracked || hasSpans) {
            // Frames that show one kept picture (a still screen, re-encoded)
            // share its tracking image, which tells every query at once that
            // nothing it reads has changed.
            const std::size_t picture = frames.pictureOf(f);
            std::optional<PictureImage> prepared;
            if (!(previousImage && previousImage->picture == picture))
                prepared = makeTrackingImage(frames, picture);
            const TrackingImage& current = prepared ? prepared->image : previousImage->image;
            readingColors[f].assign(readings.size(), 0);
            for (std::size_t j = 0; j < readings.size(); ++j)
                if (!readings[j].selections.empty())
                    readingColors[f][j] = current.backgroundColor(readings[j].rect);
            if (tracked) {
                const TrackingImageAppearance appearance(current, processed,
                                                         previousImage ? &previousImage->image : nullptr, built.patches,
                                                         remembered);
                accepted[f] = tracking::trackFrame(processed, inputs, references, appearance, stopToken);
                if (prepared)
                    previousImage = std::move(prepared);
                candidateCount += static_cast<std::int64_t>(accepted[f].size());
            }
        }
        if (!tracked)
            previousImage.reset();
        report(progress, trackingStart, trackingSpan, processed + 1, sampleCount, candidateCount, "Tracking text motion");
    }

    tracking::fillShortGaps(accepted, references, inputs);
    std::vector<DetectionSample> output = tracking::outputSamples(samples, accepted, references, stopToken);
    const cv::Size frameSize = frames.frameSize();
    if (frameSize.width > 0)
        tracking::keepOwnReadings(output, ownReadings, tracking::readingTracks(ownReadings, templates), readingColors,
                                  static_cast<double>(frameSize.height) / frameSize.width);
    return output;
}

} // namespace scrivel

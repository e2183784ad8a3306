#include "tracking/TrackerPlanning.hpp"
#include "tracking/TrackerPlanningParts.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "common/ParallelFor.hpp"

namespace scrivel::tracking {

using namespace detail;

namespace {

constexpr double conflictOverlapShare = 0.8;
constexpr double conflictSameTextIoU = 0.65;
constexpr double sameWidthRatio = 0.85;

} // namespace

std::vector<FrameRange> runs(const std::vector<std::int64_t>& matchedFrames, const SupportSet& support)
{
    std::vector<FrameRange> result;
    std::size_t blockStart = 0;
    while (blockStart < matchedFrames.size()) {
        std::size_t blockEnd = blockStart;
        while (blockEnd + 1 < matchedFrames.size() && matchedFrames[blockEnd + 1] == matchedFrames[blockEnd] + 1)
            ++blockEnd;
        std::optional<FrameRange> run;
        for (std::size_t i = blockStart; i <= blockEnd; ++i) {
            const std::int64_t frame = matchedFrames[i];
            if (!support.contains(frame))
                continue;
            if (run)
                run->upper = frame;
            else
                run = FrameRange{frame, frame};
        }
        if (run)
            result.push_back(*run);
        blockStart = blockEnd + 1;
    }
    return result;
}

bool conflicts(const Candidate& kept, const Candidate& candidate)
{
    const NormalizedRect& a = kept.region.rect;
    const NormalizedRect& b = candidate.region.rect;
    if (a.intersectionArea(b) >= conflictOverlapShare * std::min(a.area(), b.area()))
        return true;
    return kept.region.text == candidate.region.text && a.iou(b) >= conflictSameTextIoU;
}

bool wins(const Candidate& candidate, const Candidate& kept)
{
    const Candidate& c = candidate;
    const Candidate& k = kept;
    const double cWidth = c.region.rect.width;
    const double kWidth = k.region.rect.width;
    const double ratio = widthRatio(kWidth, cWidth);
    const bool sameKinds = c.layout.hasSameKinds(k.layout);

    // 1. The same text over the same line: where recognition saw it densely.
    const bool sameIdentity = c.identity == k.identity || (sameKinds && c.layout.agrees(k.layout));
    if (ratio >= sameWidthRatio && sameIdentity && c.locallySupported && k.locallySupported
        && *c.locallySupported != *k.locallySupported)
        return *c.locallySupported;

    // 2. A fragment gives way to the longer text it is part of.
    if (c.identity != k.identity) {
        if (containsText(k.identity, c.identity))
            return false;
        if (containsText(c.identity, k.identity))
            return true;
    }

    // 3. Widths a line height apart: the wider whole-line match stands when
    //    the narrower one's spans add nothing to it.
    if (std::max(c.lineHeight, k.lineHeight) <= std::abs(cWidth - kWidth)) {
        if (cWidth < kWidth && k.matchedWholeLine && !c.layout.empty()
            && c.layout.covers(k.layout, c.region.rect, k.region.rect))
            return false;
        if (kWidth < cWidth && c.matchedWholeLine && !k.layout.empty()
            && k.layout.covers(c.layout, k.region.rect, c.region.rect))
            return true;
    }

    // 4. Equal lines hiding the same spans: the earlier reference stays.
    if (ratio >= sameWidthRatio && sameKinds) {
        if (c.layout.agrees(k.layout))
            return false;
        return k.observation < c.observation;
    }

    // 5. Otherwise the more recent recognition wins.
    return k.observation < c.observation;
}

namespace {

std::vector<const Candidate*> resolved(const std::vector<Candidate>& candidates)
{
    std::vector<const Candidate*> kept;
    std::vector<std::size_t> conflicting;
    for (const Candidate& next : candidates) {
        conflicting.clear();
        for (std::size_t i = 0; i < kept.size(); ++i) {
            if (conflicts(*kept[i], next))
                conflicting.push_back(i);
        }
        const bool winsAll = std::all_of(conflicting.begin(), conflicting.end(),
            [&](std::size_t i) { return wins(next, *kept[i]); });
        if (!winsAll)
            continue;
        for (auto i = conflicting.rbegin(); i != conflicting.rend(); ++i)
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(*i));
        kept.push_back(&next);
    }
    return kept;
}

// Whether the frame's masks cover `box` (frame-normalised) wholly: across
// every stretch between the masks' vertical edges, the masks reaching over
// it cover the box's rows without a gap. A test at sample points passed
// spans whose edge slivers no mask covered.
bool coveredByMasks(const NormalizedRect& box, const std::vector<NormalizedRect>& masks)
{
    constexpr double slack = 1e-9;
    if (!(box.width > 0) || !(box.height > 0))
        return true;
    std::vector<const NormalizedRect*> over;
    std::vector<double> edges{box.x, box.maxX()};
    for (const NormalizedRect& mask : masks) {
        if (mask.maxX() <= box.x || mask.x >= box.maxX() || mask.maxY() <= box.y || mask.y >= box.maxY())
            continue;
        over.push_back(&mask);
        for (const double x : {mask.x, mask.maxX()})
            if (x > box.x && x < box.maxX())
                edges.push_back(x);
    }
    std::sort(edges.begin(), edges.end());
    std::vector<std::pair<double, double>> rows;
    for (std::size_t e = 0; e + 1 < edges.size(); ++e) {
        if (edges[e + 1] - edges[e] <= slack)
            continue;
        const double middle = (edges[e] + edges[e + 1]) / 2;
        rows.clear();
        for (const NormalizedRect* mask : over)
            if (mask->x <= middle && mask->maxX() >= middle)
                rows.emplace_back(mask->y, mask->maxY());
        std::sort(rows.begin(), rows.end());
        double reached = box.y;
        for (const auto& [top, bottom] : rows) {
            if (top > reached + slack)
                break;
            reached = std::max(reached, bottom);
        }
        if (reached < box.maxY() - slack)
            return false;
    }
    return true;
}

void addMasks(std::vector<NormalizedRect>& masks, const DetectedRegion& region)
{
    for (const NormalizedRect& mask : region.maskRects())
        masks.push_back(mask);
}

// Whether every span of `region` lies wholly under `masks`.
bool spansHidden(const DetectedRegion& region, const std::vector<NormalizedRect>& masks)
{
    const std::vector<NormalizedRect> spans = region.maskRects();
    return std::all_of(spans.begin(), spans.end(), [&](const NormalizedRect& span) { return coveredByMasks(span, masks); });
}

// Per reference, the frames in which its anticipated acceptances count: the
// block of consecutive anticipated frames that ends right before its first
// regular acceptance.
std::vector<std::optional<FrameRange>> anticipatedRanges(const std::vector<std::vector<Acceptance>>& accepted,
                                                         std::size_t referenceCount)
{
    std::vector<std::optional<std::int64_t>> firstRegular(referenceCount);
    std::vector<std::vector<std::int64_t>> early(referenceCount);
    for (std::size_t f = 0; f < accepted.size(); ++f) {
        for (const Acceptance& acceptance : accepted[f]) {
            if (acceptance.anticipated)
                early[acceptance.reference].push_back(static_cast<std::int64_t>(f));
            else if (!firstRegular[acceptance.reference])
                firstRegular[acceptance.reference] = static_cast<std::int64_t>(f);
        }
    }
    std::vector<std::optional<FrameRange>> ranges(referenceCount);
    for (std::size_t r = 0; r < referenceCount; ++r) {
        if (!firstRegular[r])
            continue;
        std::int64_t lower = *firstRegular[r];
        for (auto f = early[r].rbegin(); f != early[r].rend(); ++f) {
            if (*f >= lower)
                continue;
            if (*f != lower - 1)
                break;
            lower = *f;
        }
        if (lower < *firstRegular[r])
            ranges[r] = FrameRange{lower, *firstRegular[r] - 1};
    }
    return ranges;
}

} // namespace

std::vector<DetectedRegion> resolve(const std::vector<Candidate>& candidates)
{
    const std::vector<const Candidate*> kept = resolved(candidates);
    std::vector<DetectedRegion> regions;
    regions.reserve(kept.size());
    for (const Candidate* candidate : kept)
        regions.push_back(candidate->region);
    return regions;
}

std::vector<DetectionSample> outputSamples(const std::vector<DetectionSample>& samples,
                                           const std::vector<std::vector<Acceptance>>& accepted,
                                           const std::vector<Reference>& references, std::stop_token stopToken)
{
    // Per reference: nothing when every acceptance counts, else its runs.
    std::vector<std::optional<std::vector<FrameRange>>> runsOf(references.size());
    for (std::size_t i = 0; i < references.size(); ++i) {
        const PlannedTemplate& planned = references[i].planned;
        if (planned.support && !planned.singleCharacter)
            runsOf[i] = runs(references[i].matchedFrames, *planned.support);
    }
    const auto counts = [&](const Acceptance& acceptance, std::int64_t frame) {
        const std::optional<std::vector<FrameRange>>& ranges = runsOf[acceptance.reference];
        return !ranges || std::any_of(ranges->begin(), ranges->end(),
                              [&](const FrameRange& run) { return run.contains(frame); });
    };

    const std::vector<std::optional<FrameRange>> early = anticipatedRanges(accepted, references.size());

    std::vector<DetectionSample> output;
    output.reserve(samples.size());
    std::vector<Candidate> regular, anticipated;
    for (std::size_t f = 0; f < samples.size(); ++f) {
        throwIfStopped(stopToken);
        const auto frame = static_cast<std::int64_t>(f);
        regular.clear();
        anticipated.clear();
        if (f < accepted.size()) {
            for (const Acceptance& acceptance : accepted[f]) {
                if (!acceptance.anticipated) {
                    if (counts(acceptance, frame))
                        regular.push_back(candidate(references[acceptance.reference], acceptance));
                } else if (const auto& range = early[acceptance.reference]; range && range->contains(frame)) {
                    anticipated.push_back(candidate(references[acceptance.reference], acceptance));
                }
            }
        }
        std::vector<const Candidate*> drawn = resolved(regular);
        // Resolving picks one reading per line, but a loser's spans may be
        // hidden by nothing that stays: a narrower line of another text over
        // part of it (a menu over a note) can displace the line, and an
        // anticipated line may be what a misreading left unmasked. Those are
        // drawn as well, unless a drawn region already hides their spans.
        std::vector<Candidate> extra;
        for (const Candidate& c : regular) {
            if (std::find(drawn.begin(), drawn.end(), &c) == drawn.end())
                extra.push_back(c);
        }
        extra.insert(extra.end(), anticipated.begin(), anticipated.end());
        // Hidden only where every span lies wholly under drawn masks: a mask
        // over most of a phone number still shows digits.
        std::vector<NormalizedRect> masks;
        for (const Candidate* k : drawn)
            addMasks(masks, k->region);
        for (const Candidate& e : extra) {
            if (e.layout.empty() || spansHidden(e.region, masks))
                continue;
            drawn.push_back(&e);
            addMasks(masks, e.region);
        }
        std::vector<DetectedRegion> regions;
        regions.reserve(drawn.size());
        for (const Candidate* c : drawn)
            regions.push_back(c->region);
        output.push_back(DetectionSample{samples[f].time, samples[f].sceneID, std::move(regions)});
    }
    return output;
}

namespace {

// A drawn mask lies on a reading's line when they share this much of the
// smaller one's area: the tracked mask of another text in the same place
// is seldom as wide as the reading, nor of the same height.
constexpr double underMaskOverlapShare = 0.5;

// What makes readings without a template one track: the same text with the
// same kinds of span in the same scene.
std::string readingKey(const DetectionSample& sample, const DetectedRegion& region)
{
    std::string key = std::to_string(sample.sceneID);
    for (const TextSelection& selection : region.selections) {
        key += ':';
        key += rawValue(selection.kind);
    }
    key += '|';
    key += identityText(region.text);
    return key;
}

} // namespace

std::vector<std::vector<std::int64_t>> readingTracks(const std::vector<DetectionSample>& samples,
                                                     const std::vector<DetectionTemplate>& templates)
{
    std::vector<std::vector<std::int64_t>> tracks(samples.size());
    for (std::size_t f = 0; f < samples.size(); ++f)
        tracks[f].assign(samples[f].regions.size(), 0);
    std::int64_t nextID = 1;
    for (const DetectionTemplate& t : templates) {
        nextID = std::max(nextID, t.id + 1);
        for (const DetectionObservation& o : t.observations) {
            const auto f = static_cast<std::size_t>(o.frame);
            const auto j = static_cast<std::size_t>(o.regionIndex);
            if (f < tracks.size() && j < tracks[f].size())
                tracks[f][j] = t.id;
        }
    }
    std::map<std::string, std::int64_t> ownIDs;
    for (std::size_t f = 0; f < samples.size(); ++f) {
        for (std::size_t j = 0; j < tracks[f].size(); ++j) {
            const DetectedRegion& region = samples[f].regions[j];
            if (tracks[f][j] != 0 || region.selections.empty())
                continue;
            const auto [found, added] = ownIDs.try_emplace(readingKey(samples[f], region), nextID);
            if (added)
                ++nextID;
            tracks[f][j] = found->second;
        }
    }
    return tracks;
}

void keepOwnReadings(std::vector<DetectionSample>& output, const std::vector<DetectionSample>& samples,
                     const std::vector<std::vector<std::int64_t>>& tracks, const ReadingColors& colors,
                     double heightPerWidth)
{
    for (std::size_t f = 0; f < output.size() && f < samples.size(); ++f) {
        std::vector<DetectedRegion>& drawn = output[f].regions;
        std::vector<NormalizedRect> masks;
        for (const DetectedRegion& region : drawn)
            addMasks(masks, region);
        const std::size_t trackedCount = drawn.size();
        const std::vector<DetectedRegion>& readings = samples[f].regions;
        for (std::size_t j = 0; j < readings.size(); ++j) {
            const DetectedRegion& read = readings[j];
            if (read.selections.empty())
                continue;
            DetectedRegion added = read;
            growSpans(added, added.rect.height * heightPerWidth);
            if (spansHidden(added, masks))
                continue;
            const DetectedRegion* under = nullptr;
            double best = 0;
            for (std::size_t i = 0; i < trackedCount; ++i) {
                const double share = overlapShare(drawn[i].rect, read.rect);
                if (share >= underMaskOverlapShare && share > best) {
                    under = &drawn[i];
                    best = share;
                }
            }
            const auto own = [&](const auto& perFrame, auto fallback) {
                return f < perFrame.size() && j < perFrame[f].size() ? perFrame[f][j] : fallback;
            };
            added.trackID = under ? under->trackID : own(tracks, read.trackID);
            added.backgroundColor = under ? under->backgroundColor : own(colors, read.backgroundColor);
            addMasks(masks, added);
            drawn.push_back(std::move(added));
        }
    }
}

} // namespace scrivel::tracking

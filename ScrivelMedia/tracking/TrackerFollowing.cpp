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

constexpr double regionWidthRatio = 0.85;
constexpr double regionOverlapShare = 0.85;

constexpr double wholeLineCorrelation = 0.7;
constexpr double confirmedCorrelation = 0.52;

// Places this close (tracking-image pixels) are one prediction; a match
// found at a place the picture's own shift gives must beat the frame
// motion's by this much correlation.
constexpr double samePlacePixels = 2.0;
constexpr double paneTieMargin = 0.02;

// Readings of whole lines are nearly all this confident or more; below it a
// reading is too unsure to tell that the text is another one.
constexpr float contradictionConfidence = 0.8F;

const NormalizedRect unitSquare{0, 0, 1, 1};


// The offset that places the canonical rectangle where recognition saw the
// text in `observed`'s frame, brought into the scene's canonical coordinates.
std::optional<MotionTransform> anchorOffset(const Reference& reference, const DetectionObservation& observed,
                                            const TrackingInputs& inputs)
{
    const std::optional<MotionTransform>& observedMotion = inputs.motions[static_cast<std::size_t>(observed.frame)];
    // Observations come only from frames with a motion, so this holds for any
    // template the builder made. Should one lack it, the caller keeps the
    // current offset: it still follows the last place the text was seen or
    // matched, whereas guessing a fresh anchor could move the mask off the text.
    if (!observedMotion)
        return std::nullopt;
    const DetectedRegion& region = inputs.samples[static_cast<std::size_t>(observed.frame)]
                                       .regions[static_cast<std::size_t>(observed.regionIndex)];
    const NormalizedRect mapped = observedMotion->inverted().applying(region.rect);
    const NormalizedRect& canonical = reference.detectionTemplate().canonicalRegion.rect;
    const double dx = mapped.midX() - canonical.midX();
    const double dy = mapped.midY() - canonical.midY();
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return std::nullopt;
    return MotionTransform(1, dx, dy);
}

// Sets the offset so that the prediction starts from where recognition saw
// the text.
void reanchor(Reference& reference, const DetectionObservation& observed, const TrackingInputs& inputs)
{
    if (const auto offset = anchorOffset(reference, observed, inputs))
        reference.offset = *offset;
}

// Recognition often reads a line wrongly, or not at all, for a while before
// it reads it steadily (a line scrolling in, still being typed, or misread
// as something that hides nothing); the text is on screen all the same. A
// line with spans to hide is therefore also looked for, by its whole look,
// in the frames shortly before its start frame, placed by the frame's motion
// and its start observation. The reference's own state is left alone.
std::optional<Acceptance> anticipate(std::int64_t frame, std::size_t index, const TrackingInputs& inputs,
                                     const Reference& reference, const MotionTransform& motion,
                                     const FrameAppearance& appearance)
{
    const PlannedTemplate& planned = reference.planned;
    if (planned.support || reference.layout.empty())
        return std::nullopt;
    const double startTime = inputs.samples[static_cast<std::size_t>(planned.startFrame)].time;
    if (inputs.samples[static_cast<std::size_t>(frame)].time < startTime - anticipationSeconds)
        return std::nullopt;
    const std::vector<DetectionObservation>& observations = planned.detectionTemplate.observations;
    const auto start = std::find_if(observations.begin(), observations.end(),
        [&](const DetectionObservation& o) { return o.frame == planned.startFrame; });
    std::optional<MotionTransform> offset;
    if (start != observations.end())
        offset = anchorOffset(reference, *start, inputs);
    const NormalizedRect predicted =
        motion.composed(offset.value_or(MotionTransform::identity())).applying(reference.detectionTemplate().canonicalRegion.rect);
    if (appearance.searchBounds(predicted).intersectionArea(unitSquare) <= 0)
        return std::nullopt;
    const std::optional<AppearanceFit> whole = appearance.match(reference.patch, predicted);
    if (!whole || whole->correlation < wholeLineCorrelation || !std::isfinite(whole->offsetX)
        || !std::isfinite(whole->offsetY))
        return std::nullopt;
    Acceptance acceptance;
    acceptance.reference = index;
    acceptance.rect = {predicted.x + whole->offsetX, predicted.y + whole->offsetY, predicted.width, predicted.height};
    acceptance.observation = planned.startFrame;
    acceptance.matchedWholeLine = true;
    acceptance.lineHeight = acceptance.rect.height * appearance.height() / appearance.width();
    acceptance.anticipated = true;
    return acceptance;
}

} // namespace

bool regionMatches(const DetectedRegion& region, const Reference& reference, const NormalizedRect& at)
{
    if (!containsText(reference.planned.identity, identityText(region.text)))
        return false;
    const NormalizedRect& seen = region.rect;
    if (std::max(seen.width, at.width) <= 0 || widthRatio(seen.width, at.width) < regionWidthRatio)
        return false;
    if (seen.intersectionArea(at) < regionOverlapShare * std::min(seen.area(), at.area()))
        return false;
    const SelectionLayout layout(region.selections);
    return layout.hasSameKinds(reference.layout) && reference.layout.agrees(layout);
}


Candidate candidate(const Reference& reference, const Acceptance& acceptance)
{
    Candidate result;
    result.region = reference.detectionTemplate().canonicalRegion;
    result.region.rect = acceptance.rect;
    result.region.backgroundColor = reference.color;
    result.observation = acceptance.observation;
    result.identity = reference.planned.identity;
    result.layout = reference.layout;
    result.matchedWholeLine = acceptance.matchedWholeLine;
    result.lineHeight = acceptance.lineHeight;
    result.locallySupported = acceptance.locallySupported;
    growSpans(result.region, acceptance.lineHeight);
    return result;
}

namespace {

// Below this many references a thread, a frame's matching is not worth
// spreading.
constexpr std::size_t minimumReferencesPerThread = 8;

std::size_t trackingThreads()
{
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
}

// Recognition in the frame itself outranks the look for a long line with
// spans to hide.
bool trustsRecognition(const Reference& reference)
{
    return !reference.planned.support && !reference.layout.empty();
}

// The reference's own observation in this frame, where it has one.
std::optional<NormalizedRect> observedHere(std::int64_t frame, const DetectionObservation& observed,
                                           const TrackingInputs& inputs, const Reference& reference)
{
    if (observed.frame != frame)
        return std::nullopt;
    const DetectedRegion& region =
        inputs.samples[static_cast<std::size_t>(frame)].regions[static_cast<std::size_t>(observed.regionIndex)];
    if (!regionMatches(region, reference, region.rect))
        return std::nullopt;
    return region.rect;
}


// The region of the frame's own recognition that stands for the reference
// at `at` and lies most over it.
const DetectedRegion* recognizedAt(const DetectionSample& sample, const Reference& reference, const NormalizedRect& at)
{
    const DetectedRegion* best = nullptr;
    double bestShare = 0;
    for (const DetectedRegion& region : sample.regions) {
        const double share = overlapShare(region.rect, at);
        if (share > bestShare && share >= regionOverlapShare && regionMatches(region, reference, at)) {
            best = &region;
            bestShare = share;
        }
    }
    return best;
}

// Whether recognition read another text, not a misreading of the line, right
// where the look placed it: the look was pulled onto a neighbouring row that
// looks alike (a pointer over the line itself, recognition missing it).
bool lookContradicted(const DetectionSample& sample, const Reference& reference, const NormalizedRect& tracked)
{
    const std::string& identity = reference.planned.identity;
    for (const DetectedRegion& region : sample.regions) {
        // A line in its place: as wide, not a word inside it, and read
        // with confidence (a row half under a frozen header reads as
        // uncertain garbage, which contradicts nothing).
        if (region.confidence < contradictionConfidence || overlapShare(region.rect, tracked) < regionOverlapShare
            || widthRatio(region.rect.width, tracked.width) < regionWidthRatio)
            continue;
        const std::string read = identityText(region.text);
        if (read.empty() || containsText(identity, read) || containsText(read, identity))
            continue;
        if (2 * unicode::editDistance(std::string_view(read), std::string_view(identity)) > std::max(read.size(), identity.size()))
            return true;
    }
    return false;
}

// Where this frame's own recognition puts the line, when the look placed it
// elsewhere or nowhere: at the reference's own observation in this frame
// (rows that look alike can pull the look a row away; a cell selected in the
// frame the patch came from changes its look), or at the place on screen
// where it was in the frame before, when recognition sees it there better
// than where the look put it (a formula bar or toolbar stays put while the
// page under it scrolls). Recognition saw the text there, so the mask goes
// there.
std::optional<NormalizedRect> recognizedPlace(std::int64_t frame, const DetectionObservation& observed,
                                              const TrackingInputs& inputs, const Reference& reference,
                                              const std::optional<NormalizedRect>& tracked)
{
    if (!trustsRecognition(reference))
        return std::nullopt;
    const auto agreement = [&](const NormalizedRect& place) { return tracked ? overlapShare(place, *tracked) : 0.0; };
    if (const auto here = observedHere(frame, observed, inputs, reference))
        return agreement(*here) >= regionOverlapShare ? std::nullopt : here;
    if (reference.lastMatchedFrame != frame - 1)
        return std::nullopt;
    const DetectedRegion* stayed = recognizedAt(inputs.samples[static_cast<std::size_t>(frame)], reference,
                                                reference.lastTracked);
    if (!stayed || agreement(stayed->rect) >= overlapShare(stayed->rect, reference.lastTracked))
        return std::nullopt;
    return stayed->rect;
}

// A match of a reference's look near a place, with the thresholds its
// state asks for (none when it falls short), and whether the whole line
// matched as well.
struct LookFound {
    std::optional<AppearanceFit> fit;
    bool wholeLine = false;
};

LookFound lookNear(const Reference& reference, const FrameAppearance& appearance, const NormalizedRect& near)
{
    const std::optional<AppearanceFit> whole = appearance.match(reference.patch, near);
    LookFound found;
    found.wholeLine = whole && whole->correlation >= wholeLineCorrelation;
    if (!reference.identityConfirmed) {
        if (found.wholeLine)
            found.fit = whole;
    } else if (whole && whole->correlation >= confirmedCorrelation) {
        found.fit = whole;
    } else if (const auto parts = appearance.matchVisibleParts(reference.patch, near);
               parts && parts->correlation >= confirmedCorrelation) {
        found.fit = parts;
    }
    if (!found.fit)
        found.wholeLine = false;
    return found;
}

// Where the picture's own shift since the frame before puts a line accepted
// there, when that differs from where the frame's motion puts it by more
// than a couple of pixels; otherwise nothing, and the line is followed as
// the frame's motion says.
std::optional<NormalizedRect> shiftedPlace(std::int64_t frame, const TrackingInputs& inputs, const Reference& reference,
                                           const FrameAppearance& appearance)
{
    if (frame < 1)
        return std::nullopt;
    const std::optional<MotionTransform>& before = inputs.motions[static_cast<std::size_t>(frame - 1)];
    const std::optional<MotionTransform>& now = inputs.motions[static_cast<std::size_t>(frame)];
    if (!before || !now)
        return std::nullopt;
    const std::optional<FrameShift> shift = appearance.shiftSincePrevious(reference.lastTracked);
    if (!shift)
        return std::nullopt;
    const NormalizedRect byMotion = now->composed(before->inverted()).applying(reference.lastTracked);
    const NormalizedRect& last = reference.lastTracked;
    const NormalizedRect byShift{last.midX() + shift->dx - byMotion.width / 2, last.midY() + shift->dy - byMotion.height / 2,
                                 byMotion.width, byMotion.height};
    const double apartX = (byShift.midX() - byMotion.midX()) * appearance.width();
    const double apartY = (byShift.midY() - byMotion.midY()) * appearance.height();
    if (!std::isfinite(apartX) || !std::isfinite(apartY) || std::hypot(apartX, apartY) <= samePlacePixels)
        return std::nullopt;
    return byShift;
}

// Moves one reference on to `frame`: its acceptance, if any.
std::optional<Acceptance> trackReference(std::int64_t frame, std::size_t index, const TrackingInputs& inputs,
                                         Reference& reference, const FrameAppearance& appearance)
{
    const DetectionSample& sample = inputs.samples[static_cast<std::size_t>(frame)];
    const MotionTransform& motion = *inputs.motions[static_cast<std::size_t>(frame)];
    const double scale = motion.scale();
    const double heightPerWidth = static_cast<double>(appearance.height()) / appearance.width();

    const DetectionTemplate& detectionTemplate = reference.detectionTemplate();
    if (detectionTemplate.sceneID != sample.sceneID)
        return std::nullopt;
    const PlannedTemplate& planned = reference.planned;
    const NormalizedRect& canonical = detectionTemplate.canonicalRegion.rect;
    const NormalizedRect motionOnly = motion.applying(canonical);

    if (planned.singleCharacter && !planned.support->contains(frame)) {
        reference.identityConfirmed = false;
        return std::nullopt;
    }
    // Just before the text is steadily recognized, follow it only where
    // this frame's own recognition agrees.
    if (frame < planned.startFrame) {
        const bool seenHere = inputs.neighbourhoods[static_cast<std::size_t>(frame)].contains(planned.startFrame)
            && std::any_of(sample.regions.begin(), sample.regions.end(),
                [&](const DetectedRegion& region) { return regionMatches(region, reference, motionOnly); });
        if (!seenHere)
            return anticipate(frame, index, inputs, reference, motion, appearance);
    }

    const std::vector<DetectionObservation>& observations = detectionTemplate.observations;
    while (reference.observation + 1 < observations.size() && observations[reference.observation + 1].frame <= frame)
        ++reference.observation;
    const DetectionObservation& observed = observations[reference.observation];
    const bool followedPreviousFrame = reference.lastMatchedFrame && *reference.lastMatchedFrame == frame - 1;
    if (observed.frame == frame || (!followedPreviousFrame && planned.support))
        reanchor(reference, observed, inputs);

    // The look is sought near where the frame's motion puts the line, and,
    // when the picture round the line moved otherwise since the frame
    // before (a pane scrolling on its own, or still while the rest
    // scrolls), near where that shift puts it too; the better match wins,
    // a tie going to the frame's motion.
    NormalizedRect predicted = motion.composed(reference.offset).applying(canonical);
    const auto inFrameAt = [&](const NormalizedRect& near) {
        return appearance.searchBounds(near).intersectionArea(unitSquare) > 0;
    };
    bool inFrame = inFrameAt(predicted);
    LookFound found = inFrame ? lookNear(reference, appearance, predicted) : LookFound{};
    // A match of the frame's motion within the tie margin of a perfect one
    // cannot be beaten: the shift is then not measured.
    const bool beatable = !found.fit || found.fit->correlation + paneTieMargin < 1;
    if (followedPreviousFrame && observed.frame != frame && beatable) {
        if (const auto byShift = shiftedPlace(frame, inputs, reference, appearance); byShift && inFrameAt(*byShift)) {
            LookFound there = lookNear(reference, appearance, *byShift);
            if (there.fit && (!found.fit || there.fit->correlation > found.fit->correlation + paneTieMargin)) {
                found = there;
                predicted = *byShift;
                inFrame = true;
            }
        }
    }
    std::optional<AppearanceFit> fit = found.fit;
    const bool matchedWholeLine = found.wholeLine;
    std::optional<NormalizedRect> tracked;
    if (fit && std::isfinite(fit->offsetX) && std::isfinite(fit->offsetY))
        tracked = NormalizedRect{predicted.x + fit->offsetX, predicted.y + fit->offsetY, predicted.width,
                                 predicted.height};
    else
        fit.reset();
    if (const auto place = recognizedPlace(frame, observed, inputs, reference, tracked)) {
        tracked = place;
        fit.reset();
    } else if (tracked && trustsRecognition(reference) && lookContradicted(sample, reference, *tracked)) {
        tracked.reset();
        fit.reset();
    }
    if (!tracked) {
        // A prediction outside the frame says nothing about the line's look.
        if (inFrame)
            reference.identityConfirmed = false;
        return std::nullopt;
    }
    reference.offset = MotionTransform(1, (tracked->x - motionOnly.x) / scale, (tracked->y - motionOnly.y) / scale);
    // Placed by recognition alone, the line's look is not confirmed.
    reference.identityConfirmed = fit.has_value();
    reference.lastMatchedFrame = frame;
    reference.lastTracked = *tracked;
    if (planned.support && !planned.singleCharacter)
        reference.matchedFrames.push_back(frame);

    Acceptance acceptance;
    acceptance.reference = index;
    acceptance.rect = *tracked;
    acceptance.observation = observed.frame;
    acceptance.matchedWholeLine = matchedWholeLine && fit.has_value();
    acceptance.lineHeight = tracked->height * heightPerWidth;
    if (planned.support)
        acceptance.locallySupported = planned.support->contains(frame);
    return acceptance;
}

} // namespace

std::vector<Acceptance> trackFrame(std::int64_t frame, const TrackingInputs& inputs, std::vector<Reference>& references,
                                   const FrameAppearance& appearance, std::stop_token stopToken)
{
    // References move on independently of one another (each matches its own
    // patch on the shared frame), so a frame's are spread over a few threads;
    // acceptances keep reference order whatever the threads' timing.
    std::vector<std::optional<Acceptance>> outcomes(references.size());
    const std::size_t threads = references.size() >= minimumReferencesPerThread * 2
                                    ? std::min(references.size() / minimumReferencesPerThread, trackingThreads())
                                    : 1;
    parallelFor(references.size(), static_cast<int>(threads), stopToken, [&](std::size_t index) {
        throwIfStopped(stopToken);
        outcomes[index] = trackReference(frame, index, inputs, references[index], appearance);
    });
    std::vector<Acceptance> accepted;
    for (auto& outcome : outcomes)
        if (outcome)
            accepted.push_back(std::move(*outcome));
    return accepted;
}

void fillShortGaps(std::vector<std::vector<Acceptance>>& accepted, std::vector<Reference>& references,
                   const TrackingInputs& inputs)
{
    // Per reference, its regular acceptances in frame order.
    std::vector<std::vector<std::pair<std::size_t, const Acceptance*>>> byReference(references.size());
    for (std::size_t f = 0; f < accepted.size(); ++f)
        for (const Acceptance& acceptance : accepted[f])
            if (!acceptance.anticipated)
                byReference[acceptance.reference].emplace_back(f, &acceptance);

    std::vector<std::pair<std::size_t, Acceptance>> filled; // frame, acceptance
    for (std::size_t r = 0; r < references.size(); ++r) {
        Reference& reference = references[r];
        if (reference.layout.empty())
            continue;
        const auto& acceptances = byReference[r];
        for (std::size_t k = 0; k + 1 < acceptances.size(); ++k) {
            const std::size_t before = acceptances[k].first;
            const std::size_t after = acceptances[k + 1].first;
            if (after - before < 2 || after - before - 1 > longestFilledGap)
                continue;
            const std::optional<MotionTransform>& origin = inputs.motions[before];
            bool sameScene = origin.has_value();
            for (std::size_t g = before + 1; g <= after && sameScene; ++g)
                sameScene = inputs.motions[g] && inputs.samples[g].sceneID == inputs.samples[before].sceneID;
            if (!sameScene)
                continue;
            const Acceptance& last = *acceptances[k].second;
            std::vector<Acceptance> gap;
            for (std::size_t g = before + 1; g < after; ++g) {
                // Frame `before`'s place, mapped back to the scene and on
                // into frame g.
                const MotionTransform step = inputs.motions[g]->composed(origin->inverted());
                Acceptance moved = last;
                moved.rect = step.applying(last.rect);
                moved.matchedWholeLine = false;
                moved.lineHeight = last.lineHeight * step.scale();
                const std::vector<DetectedRegion>& read = inputs.samples[g].regions;
                const bool readThere = std::any_of(read.begin(), read.end(), [&](const DetectedRegion& region) {
                    return regionMatches(region, reference, moved.rect);
                });
                if (!trustsRecognition(reference) && !readThere)
                    break;
                gap.push_back(moved);
            }
            if (gap.size() != after - before - 1)
                continue;
            for (std::size_t i = 0; i < gap.size(); ++i) {
                filled.emplace_back(before + 1 + i, gap[i]);
                if (reference.planned.support && !reference.planned.singleCharacter)
                    reference.matchedFrames.push_back(static_cast<std::int64_t>(before + 1 + i));
            }
        }
        std::sort(reference.matchedFrames.begin(), reference.matchedFrames.end());
    }
    // Added once no acceptance is looked at any more.
    for (auto& [frame, acceptance] : filled)
        accepted[frame].push_back(std::move(acceptance));
}

} // namespace scrivel::tracking

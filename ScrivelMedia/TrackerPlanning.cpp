#include "ScrivelMedia/TrackerPlanning.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "ScrivelMedia/ParallelFor.hpp"

namespace scrivel::tracking {

namespace {

constexpr double neighbourhoodSeconds = 0.15;
constexpr std::int64_t neighbourhoodFrames = 2;
constexpr std::int64_t minimumSupport = 3;

constexpr double regionWidthRatio = 0.85;
constexpr double regionOverlapShare = 0.85;

constexpr double wholeLineCorrelation = 0.7;
constexpr double confirmedCorrelation = 0.52;

// Places this close (tracking-image pixels) are one prediction; a match
// found at a place the picture's own shift gives must beat the frame
// motion's by this much correlation.
constexpr double samePlacePixels = 2.0;
constexpr double paneTieMargin = 0.02;

constexpr double conflictOverlapShare = 0.8;
constexpr double conflictSameTextIoU = 0.65;
constexpr double sameWidthRatio = 0.85;

// Readings of whole lines are nearly all this confident or more; below it a
// reading is too unsure to tell that the text is another one.
constexpr float contradictionConfidence = 0.8F;

const NormalizedRect unitSquare{0, 0, 1, 1};

// An empty needle is not "contained": a line without letters or numbers says
// nothing about which identity it belongs to.
bool containsText(const std::string& haystack, const std::string& needle)
{
    return !needle.empty() && haystack.find(needle) != std::string::npos;
}

double widthRatio(double a, double b)
{
    a = std::max(a, 0.0);
    b = std::max(b, 0.0);
    const double larger = std::max(a, b);
    return larger > 0 ? std::min(a, b) / larger : 1;
}

void throwIfStopped(const std::stop_token& stopToken)
{
    if (stopToken.stop_requested())
        throw OperationCancelled();
}

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

std::vector<FrameRange> neighbourhoods(const std::vector<DetectionSample>& samples)
{
    const auto count = static_cast<std::int64_t>(samples.size());
    std::vector<FrameRange> result;
    result.reserve(samples.size());
    for (std::int64_t f = 0; f < count; ++f) {
        const DetectionSample& centre = samples[static_cast<std::size_t>(f)];
        const auto belongs = [&](std::int64_t other) {
            const DetectionSample& sample = samples[static_cast<std::size_t>(other)];
            if (sample.sceneID != centre.sceneID)
                return false;
            if (std::abs(other - f) <= neighbourhoodFrames)
                return true;
            return other < f ? sample.time >= centre.time - neighbourhoodSeconds
                             : sample.time <= centre.time + neighbourhoodSeconds;
        };
        FrameRange range{f, f};
        while (range.lower > 0 && belongs(range.lower - 1))
            --range.lower;
        while (range.upper + 1 < count && belongs(range.upper + 1))
            ++range.upper;
        result.push_back(range);
    }
    return result;
}

std::optional<std::int64_t> startFrame(const DetectionTemplate& detectionTemplate,
                                       const std::vector<FrameRange>& neighbourhoods)
{
    const std::vector<DetectionObservation>& observations = detectionTemplate.observations;
    const auto around = [&](std::int64_t frame) { return neighbourhoods[static_cast<std::size_t>(frame)]; };
    for (std::size_t k = 0; k + 2 < observations.size(); ++k) {
        if (around(observations[k + 2].frame).contains(observations[k + 1].frame)
            && around(observations[k + 1].frame).contains(observations[k].frame))
            return observations[k].frame;
    }
    return std::nullopt;
}

SupportSet::SupportSet(std::int64_t firstFrame, std::vector<bool> members)
    : firstFrame_(firstFrame), members_(std::move(members)),
      count_(static_cast<std::size_t>(std::count(members_.begin(), members_.end(), true)))
{
}

bool SupportSet::contains(std::int64_t frame) const
{
    const std::int64_t index = frame - firstFrame_;
    return index >= 0 && index < static_cast<std::int64_t>(members_.size()) && members_[static_cast<std::size_t>(index)];
}

std::optional<SupportSet> supportSet(const DetectionTemplate& detectionTemplate, std::int64_t identityLength,
                                     const std::vector<FrameRange>& neighbourhoods)
{
    if (identityLength > shortIdentityLength)
        return std::nullopt;
    const std::vector<DetectionObservation>& observations = detectionTemplate.observations;
    if (observations.empty())
        return SupportSet();

    // Single characters are confused with noise far more often, so they need
    // twice the density of longer short identities.
    const std::int64_t divisor = identityLength < 2 ? 2 : 4;
    std::vector<std::int64_t> frames;
    frames.reserve(observations.size());
    for (const DetectionObservation& observation : observations)
        frames.push_back(observation.frame);
    std::sort(frames.begin(), frames.end());

    const std::int64_t first = neighbourhoods[static_cast<std::size_t>(frames.front())].lower;
    const std::int64_t last = neighbourhoods[static_cast<std::size_t>(frames.back())].upper;
    std::vector<bool> members;
    members.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::int64_t f = first; f <= last; ++f) {
        const FrameRange around = neighbourhoods[static_cast<std::size_t>(f)];
        const std::int64_t size = around.upper - around.lower + 1;
        const auto seen = std::upper_bound(frames.begin(), frames.end(), around.upper)
            - std::lower_bound(frames.begin(), frames.end(), around.lower);
        const std::int64_t needed = std::max((size + divisor - 1) / divisor, minimumSupport);
        members.push_back(seen >= needed);
    }
    return SupportSet(first, std::move(members));
}

std::string identityText(std::string_view text) { return TextTemplateBuilder::normalizedText(text); }

std::int64_t characterCount(std::string_view text)
{
    return static_cast<std::int64_t>(unicode::graphemeClusters(text).size());
}

std::vector<PlannedTemplate> plan(const std::vector<DetectionTemplate>& templates,
                                  const std::vector<FrameRange>& neighbourhoods)
{
    std::vector<PlannedTemplate> result;
    for (const DetectionTemplate& detectionTemplate : templates) {
        const std::optional<std::int64_t> start = startFrame(detectionTemplate, neighbourhoods);
        if (!start)
            continue;
        PlannedTemplate planned;
        planned.identity = identityText(detectionTemplate.canonicalRegion.text);
        planned.identityLength = characterCount(planned.identity);
        planned.support = supportSet(detectionTemplate, planned.identityLength, neighbourhoods);
        if (planned.support && planned.support->empty())
            continue;
        planned.singleCharacter = planned.support && planned.identityLength < 2;
        planned.startFrame = *start;
        planned.detectionTemplate = detectionTemplate;
        result.push_back(std::move(planned));
    }
    return result;
}

namespace {

// A text with spans to hide that a misreading of it may borrow from.
struct Lender {
    std::string_view identity;
    const std::vector<TextSelection>* selections;
};

// The lender nearest `identity` within one edit in ten, if any.
const Lender* nearestLender(std::string_view identity, const std::vector<Lender>& lenders)
{
    const Lender* nearest = nullptr;
    std::size_t fewest = 0;
    for (const Lender& lender : lenders) {
        const std::string_view other = lender.identity;
        const std::size_t allowed = std::max<std::size_t>(1, std::max(identity.size(), other.size()) / 10);
        const std::size_t apart =
            identity.size() > other.size() ? identity.size() - other.size() : other.size() - identity.size();
        if (apart > allowed)
            continue;
        const std::size_t edits = unicode::editDistance(identity, other);
        if (edits <= allowed && (!nearest || edits < fewest)) {
            nearest = &lender;
            fewest = edits;
        }
    }
    return nearest;
}

} // namespace

void borrowSpans(std::vector<PlannedTemplate>& planned)
{
    std::vector<Lender> lenders;
    for (const PlannedTemplate& p : planned)
        if (p.identityLength >= borrowingLength && !p.detectionTemplate.canonicalRegion.selections.empty())
            lenders.push_back({p.identity, &p.detectionTemplate.canonicalRegion.selections});
    if (lenders.empty())
        return;
    std::vector<std::pair<PlannedTemplate*, const Lender*>> loans;
    for (PlannedTemplate& borrower : planned) {
        if (borrower.identityLength < borrowingLength || !borrower.detectionTemplate.canonicalRegion.selections.empty())
            continue;
        if (const Lender* nearest = nearestLender(borrower.identity, lenders))
            loans.emplace_back(&borrower, nearest);
    }
    // Lent after the search, so that a borrower never lends on.
    for (const auto& [borrower, lender] : loans)
        borrower->detectionTemplate.canonicalRegion.selections = *lender->selections;
}

namespace {

// A name is often an address's local part ("Fiona MacLeod" beside
// "fiona.macleod@…"): a reading takes an address's spans only where it
// holds the at sign itself, which misreadings keep (they lose dots).
bool lendsAddress(const Lender& lender)
{
    return std::any_of(lender.selections->begin(), lender.selections->end(),
                       [](const TextSelection& s) { return s.kind == RedactionKind::email; });
}

bool holdsAtSign(std::string_view text)
{
    return text.find('@') != std::string_view::npos || text.find("\uFF20") != std::string_view::npos;
}

} // namespace

std::vector<DetectionSample> withBorrowedSpans(std::vector<DetectionSample> samples,
                                               const std::vector<DetectionTemplate>& templates)
{
    std::vector<std::string> identities;
    identities.reserve(templates.size());
    for (const DetectionTemplate& t : templates)
        identities.push_back(identityText(t.canonicalRegion.text));
    std::vector<Lender> lenders;
    for (std::size_t k = 0; k < templates.size(); ++k)
        if (!templates[k].canonicalRegion.selections.empty() && characterCount(identities[k]) >= borrowingLength)
            lenders.push_back({identities[k], &templates[k].canonicalRegion.selections});
    if (lenders.empty())
        return samples;
    // Lines repeat from frame to frame: each text is looked up once.
    std::map<std::string, const Lender*, std::less<>> found;
    for (DetectionSample& sample : samples) {
        for (DetectedRegion& region : sample.regions) {
            if (!region.selections.empty())
                continue;
            std::string identity = identityText(region.text);
            auto known = found.find(identity);
            if (known == found.end()) {
                const Lender* lender =
                    characterCount(identity) >= borrowingLength ? nearestLender(identity, lenders) : nullptr;
                known = found.emplace(std::move(identity), lender).first;
            }
            if (known->second && !(lendsAddress(*known->second) && !holdsAtSign(region.text)))
                region.selections = *known->second->selections;
        }
    }
    return samples;
}

Reference makeReference(PlannedTemplate planned, std::size_t patch, std::uint32_t color)
{
    Reference reference;
    reference.layout = SelectionLayout(planned.detectionTemplate.canonicalRegion.selections);
    reference.planned = std::move(planned);
    reference.patch = patch;
    reference.color = color;
    return reference;
}

void orderReferences(std::vector<Reference>& references)
{
    std::stable_sort(references.begin(), references.end(), [](const Reference& a, const Reference& b) {
        const DetectionTemplate& ta = a.detectionTemplate();
        const DetectionTemplate& tb = b.detectionTemplate();
        if (ta.observations.size() != tb.observations.size())
            return ta.observations.size() > tb.observations.size();
        if (a.planned.identityLength != b.planned.identityLength)
            return a.planned.identityLength > b.planned.identityLength;
        const double areaA = ta.canonicalRegion.rect.area();
        const double areaB = tb.canonicalRegion.rect.area();
        if (areaA != areaB)
            return areaA > areaB;
        return ta.id < tb.id;
    });
}

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

namespace {

// Tracking places a line to a pixel or so, and a glyph's soft edge reaches
// a little past the ink a span is fitted to: a mask on the bare span leaves
// slivers of lettering, so spans grow by the span margins. `lineHeight` is
// in frame widths.
void growSpans(DetectedRegion& region, double lineHeight)
{
    const NormalizedRect& rect = region.rect;
    const double sideways = rect.width > 0 ? spanMarginSideways * lineHeight / rect.width : 0;
    for (TextSelection& selection : region.selections) {
        selection.rect.x -= sideways;
        selection.rect.width += 2 * sideways;
        selection.rect.y -= spanMarginAbove;
        selection.rect.height += spanMarginAbove + spanMarginBelow;
    }
}

} // namespace

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

double overlapShare(const NormalizedRect& a, const NormalizedRect& b)
{
    const double smaller = std::min(a.area(), b.area());
    return smaller > 0 ? a.intersectionArea(b) / smaller : 0.0;
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

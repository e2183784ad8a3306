#pragma once

// The mask tracker's working types and steps that need no decoded video:
// frame neighbourhoods, start frames and support sets, the per-frame tracking
// step over an abstract appearance source, runs of short identities and the
// overlap resolution. Kept apart from VideoMaskTracker so each step can be
// exercised with hand-made samples.

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/TextTemplateBuilder.hpp"
#include "tracking/SelectionLayout.hpp"

namespace scrivel::tracking {

// Identities of at most this many letters and numbers are "short": they are
// only masked where recognition saw them densely enough (their support set).
inline constexpr std::int64_t shortIdentityLength = 4;

// A closed range of frame indices.
struct FrameRange {
    std::int64_t lower = 0;
    std::int64_t upper = 0;

    bool contains(std::int64_t frame) const { return lower <= frame && frame <= upper; }
    bool operator==(const FrameRange&) const = default;
};

// For every frame: the frames of its scene within two frames or 0.15 s of it.
std::vector<FrameRange> neighbourhoods(const std::vector<DetectionSample>& samples);

// The first observation that begins three observations in a row, each in the
// next one's neighbourhood; none when recognition never saw the text steadily.
std::optional<std::int64_t> startFrame(const DetectionTemplate& detectionTemplate,
                                       const std::vector<FrameRange>& neighbourhoods);

// The frames around which a short identity was recognized densely enough.
class SupportSet {
public:
    SupportSet() = default;
    SupportSet(std::int64_t firstFrame, std::vector<bool> members);

    bool contains(std::int64_t frame) const;
    bool empty() const { return count_ == 0; }

    bool operator==(const SupportSet&) const = default;

private:
    std::int64_t firstFrame_ = 0;
    std::vector<bool> members_;
    std::size_t count_ = 0;
};

// The support set of a template whose identity has `identityLength` letters
// and numbers; nothing for identities longer than shortIdentityLength.
std::optional<SupportSet> supportSet(const DetectionTemplate& detectionTemplate, std::int64_t identityLength,
                                     const std::vector<FrameRange>& neighbourhoods);

// Lower-cased letters and numbers of a text, and how many characters that is.
std::string identityText(std::string_view text);
std::int64_t characterCount(std::string_view text);

// A template that survived preparation, with what tracking needs to know of it.
struct PlannedTemplate {
    DetectionTemplate detectionTemplate;
    std::string identity;
    std::int64_t identityLength = 0;
    std::int64_t startFrame = 0;
    std::optional<SupportSet> support; // short identities only
    bool singleCharacter = false;      // fewer than two letters and numbers

    bool operator==(const PlannedTemplate&) const = default;
};

// Keeps the templates that have a start frame and, when short, a non-empty
// support set; order is preserved.
std::vector<PlannedTemplate> plan(const std::vector<DetectionTemplate>& templates,
                                  const std::vector<FrameRange>& neighbourhoods);

// One tracked identity and its state while the frames go by.
struct Reference {
    PlannedTemplate planned;
    std::size_t patch = 0;       // index of its appearance patch, held by the caller
    std::uint32_t color = 0;     // background around the reference observation
    SelectionLayout layout;
    MotionTransform offset = MotionTransform::identity(); // correction on top of the frame motion
    std::optional<std::int64_t> lastMatchedFrame;
    NormalizedRect lastTracked;  // where it was accepted in lastMatchedFrame
    bool identityConfirmed = false;
    std::size_t observation = 0; // latest observation at or before the current frame
    std::vector<std::int64_t> matchedFrames; // short multi-character identities only

    const DetectionTemplate& detectionTemplate() const { return planned.detectionTemplate; }
};

// Recognition misreads a line now and then in ways that drop its spans: a
// row cut by a window's edge loses the dots of its address ("amara
// osei@host couk"), a letter read wrongly breaks a pattern. A template of
// at least `borrowingLength` letters and numbers that hides nothing takes
// the spans of a template that does when their identities are at most one
// edit in ten apart (the nearest such one); the spans keep their places
// along the line.
inline constexpr std::int64_t borrowingLength = 8;
void borrowSpans(std::vector<PlannedTemplate>& planned);
// The same for a frame's own readings: a reading of at least
// `borrowingLength` letters and numbers that hides nothing takes the spans
// of the nearest template that hides something, within one edit in ten.
std::vector<DetectionSample> withBorrowedSpans(std::vector<DetectionSample> samples,
                                               const std::vector<DetectionTemplate>& templates);

Reference makeReference(PlannedTemplate planned, std::size_t patch, std::uint32_t color);

// Stable: more observations, then longer identity, then larger canonical
// area, then smaller template id first. resolve() relies on this order.
void orderReferences(std::vector<Reference>& references);

// Whether a region recognized in the frame itself stands for the reference
// placed at `at`: its text is part of the identity, and it has about the same
// width, place and redacted spans.
bool regionMatches(const DetectedRegion& region, const Reference& reference, const NormalizedRect& at);

// A reference accepted in one frame, as kept until the last frame is
// tracked: small, since a recording yields one per line and frame.
struct Acceptance {
    std::size_t reference = 0;     // index into the ordered references
    NormalizedRect rect;           // the tracked rectangle
    std::int64_t observation = 0;  // frame of the observation it was anchored to
    bool matchedWholeLine = false;
    double lineHeight = 0;         // in units of the frame width
    std::optional<bool> locallySupported; // short identities only
    // Matched before the text was steadily recognized, on its look alone;
    // counts only where it leads without a gap into the regular track.
    bool anticipated = false;

    bool operator==(const Acceptance&) const = default;
};

// An accepted reference with everything resolve() compares.
struct Candidate {
    DetectedRegion region;         // canonical region at the tracked rectangle
    std::int64_t observation = 0;  // frame of the observation it was anchored to
    std::string identity;
    SelectionLayout layout;
    bool matchedWholeLine = false;
    double lineHeight = 0;         // in units of the frame width
    std::optional<bool> locallySupported; // short identities only

    bool operator==(const Candidate&) const = default;
};

// Where a patch was found near a predicted rectangle: the shift to apply to
// it (normalised units) and the correlation reached.
struct AppearanceFit {
    double offsetX = 0;
    double offsetY = 0;
    double correlation = 0;
};

// A displacement between two frames, in normalised units.
struct FrameShift {
    double dx = 0;
    double dy = 0;

    bool operator==(const FrameShift&) const = default;
};

// The appearance queries the tracker makes of one decoded frame.
class FrameAppearance {
public:
    virtual ~FrameAppearance() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual NormalizedRect searchBounds(const NormalizedRect& rect) const = 0;
    virtual std::optional<AppearanceFit> match(std::size_t patch, const NormalizedRect& near) const = 0;
    virtual std::optional<AppearanceFit> matchVisibleParts(std::size_t patch, const NormalizedRect& near) const = 0;
    // How the picture round `rect` moved since the frame before (normalised
    // units), where that frame was tracked and the shift can be measured.
    virtual std::optional<FrameShift> shiftSincePrevious(const NormalizedRect& rect) const
    {
        (void)rect;
        return std::nullopt;
    }
};

struct TrackingInputs {
    const std::vector<DetectionSample>& samples;
    const std::vector<std::optional<MotionTransform>>& motions;
    const std::vector<FrameRange>& neighbourhoods;
};

// How far a mask reaches past the span recognition measured, in line
// heights: sideways on each side, above and below. Spans and line boxes are
// fitted to their ink, so this covers what tracking puts a pixel or so off
// and the soft edges of the glyphs; more only masks the lines around (0.12
// and 0.1, from before the fitting, hid five more points of the notes and
// chat recordings' masks outside their text). Nothing is added below: the
// line's inked rows already reach down to its descenders.
inline constexpr double spanMarginSideways = 0.08;
inline constexpr double spanMarginAbove = 0.05;
inline constexpr double spanMarginBelow = 0.0;
// How long before its steady recognition a line with spans to hide is
// looked for by appearance alone, in seconds.
inline constexpr double anticipationSeconds = 1.0;

// The candidate of an acceptance: the reference's canonical region at the
// tracked rectangle, with the reference's background colour, its spans grown
// by the margins above.
Candidate candidate(const Reference& reference, const Acceptance& acceptance);

// Moves every reference of the frame's scene on to `frame` and returns the
// accepted ones, in reference order. The frame must have a motion. Throws
// OperationCancelled when stopped (tested before each reference). Many
// references are moved on several threads at once: `appearance` must be
// safe to ask from several threads.
std::vector<Acceptance> trackFrame(std::int64_t frame, const TrackingInputs& inputs, std::vector<Reference>& references,
                                  const FrameAppearance& appearance, std::stop_token stopToken);

// Blocks of consecutive matched frames, each trimmed to its first and last
// supported frame; blocks without a supported frame give nothing.
std::vector<FrameRange> runs(const std::vector<std::int64_t>& matchedFrames, const SupportSet& support);

// A line with spans to hide accepted on both sides of a gap of at most
// `longestFilledGap` frames (a pointer passing over it, a blurred step of a
// fast scroll) is taken to be in the gap too, where the motion moves it from
// the frame before the gap. A long line is; a short one only where each
// frame of the gap reads it there, and those frames join its matched
// frames. Adds those acceptances to `accepted` (one list per frame).
inline constexpr std::size_t longestFilledGap = 2;
void fillShortGaps(std::vector<std::vector<Acceptance>>& accepted, std::vector<Reference>& references,
                   const TrackingInputs& inputs);

// Whether candidate `candidate` displaces the already kept `kept`.
bool conflicts(const Candidate& kept, const Candidate& candidate);
bool wins(const Candidate& candidate, const Candidate& kept);
// The regions to draw from one frame's candidates, given in reference order.
std::vector<DetectedRegion> resolve(const std::vector<Candidate>& candidates);

// One output sample per input sample: its time and scene with the resolved
// candidates of that frame (`accepted` holds one list per frame). Short identities keep only candidates inside their
// runs (single-character ones were already gated by their support set).
// Anticipated acceptances count only in the block of consecutive frames that
// ends right before the reference's first regular acceptance. Candidates
// that lose when resolving, and anticipated ones, are drawn as well unless a
// drawn region that conflicts with them hides all their spans.
// Throws OperationCancelled when stopped (tested before each frame).
std::vector<DetectionSample> outputSamples(const std::vector<DetectionSample>& samples,
                                           const std::vector<std::vector<Acceptance>>& accepted,
                                           const std::vector<Reference>& references, std::stop_token stopToken);

// The track of each of the frame's own readings (per frame, per region): the
// id of the template its observation joined. A reading that joined none (its
// frame has no motion estimate) takes an id after the templates' ids, one per
// text, scene and kinds of span, so that its frames review as one track.
std::vector<std::vector<std::int64_t>> readingTracks(const std::vector<DetectionSample>& samples,
                                                     const std::vector<DetectionTemplate>& templates);

// Per frame, per region, the colour around each reading with spans to hide,
// where a frame was measured; 0 elsewhere.
using ReadingColors = std::vector<std::vector<std::uint32_t>>;

// Every span the frame's own recognition matched is drawn on that frame,
// whatever tracking made of it: the tracker adds masks where recognition
// missed a line and never takes one away. A reading whose spans the drawn
// masks already hide adds nothing. Its spans grow by the span margins. A
// reading under a tracked mask (half the smaller area shared) joins that
// mask's track and colour: a formula bar showing the cell under the pointer
// changes its text while its look stays much the same, and the mask is the
// tracked form of the same line. Any other reading keeps its own track
// (`tracks`, from readingTracks) and the colour measured around it.
// `heightPerWidth` is the frame's height over its width.
void keepOwnReadings(std::vector<DetectionSample>& output, const std::vector<DetectionSample>& samples,
                     const std::vector<std::vector<std::int64_t>>& tracks, const ReadingColors& colors,
                     double heightPerWidth);

} // namespace scrivel::tracking

#pragma once

// What a check of a redacted copy found: the spans a scan would hide that
// can still be read in the copy's frames, and the ways the copy differs from
// its original beyond the masks (frames, size, audio).

#include <cstdint>
#include <string>
#include <vector>

#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// One span still readable in one frame of the copy.
struct ReadableText {
    std::int64_t frameIndex = 0; // 0-based, in presentation order
    double time = 0;             // seconds
    RedactionKind kind = RedactionKind::all;
    std::string text;     // the span as read (UTF-8)
    std::string lineText; // the whole line it was read in
    NormalizedRect box;   // the span, frame-normalised
    float confidence = 0; // of the line's reading

    bool operator==(const ReadableText&) const = default;
};

// Frames in a row where the same kind of text stays readable: what a
// reviewer steps through.
struct ReadableMoment {
    double startTime = 0;
    double endTime = 0; // time of the last frame of the run
    RedactionKind kind = RedactionKind::all;
    std::string text; // the first span read in the run
    std::int64_t frameCount = 0;

    bool operator==(const ReadableMoment&) const = default;
};

struct CopyCheck {
    std::int64_t framesRead = 0;
    std::int64_t frameWidth = 0; // displayed size of the copy
    std::int64_t frameHeight = 0;
    std::vector<ReadableText> readable; // by frame, then top to bottom
    // How the copy is not a faithful copy of the original; one sentence each.
    std::vector<std::string> differences;
    // What differs on purpose (audio MP4 cannot hold, re-encoded by the export).
    std::vector<std::string> notes;

    // Nothing readable and nothing different.
    bool clean() const { return readable.empty() && differences.empty(); }
    // Frames with at least one readable span.
    std::int64_t framesWithReadableText() const;
    // The readable spans as runs of frames: a run of one kind continues while
    // the next frame with that kind comes at most `maximumGapFrames` frames
    // later. Ordered by start time, then kind.
    std::vector<ReadableMoment> moments(std::int64_t maximumGapFrames = 1) const;

    bool operator==(const CopyCheck&) const = default;
};

Json toJson(const ReadableText& value);
Json toJson(const ReadableMoment& value);
// The check with its verdict ("clean"), the readable spans, the moments and
// the differences.
Json toJson(const CopyCheck& value);

// "e-mail address", "phone number", "Chinese text", "term", "text".
std::string_view kindDescription(RedactionKind kind);

} // namespace scrivel

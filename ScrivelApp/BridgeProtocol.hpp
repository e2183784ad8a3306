#pragma once

// The wire between the page and the native side: the records carried by
// requests, replies and events, their strict JSON forms, and the exact script
// text of a call into the page.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ScrivelCore/CopyCheck.hpp"
#include "ScrivelCore/Json.hpp"
#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"
#include "decode/VideoInfo.hpp"

namespace scrivel {

// ------------------------------------------------------------ page → native

struct ScanRequest {
    std::string videoId;
    std::string jobId;
    ScanSettings settings;

    bool operator==(const ScanRequest&) const = default;
};

struct ExportRequest {
    std::string videoId;
    std::string jobId;
    RenderSettings settings;

    bool operator==(const ExportRequest&) const = default;
};

// Checks the copy the bridge last exported of the video; the page names no
// file, so no other file on disk can be read through this method.
struct CheckCopyRequest {
    std::string videoId;
    std::string jobId;

    bool operator==(const CheckCopyRequest&) const = default;
};

struct CancelRequest {
    std::string jobId;

    bool operator==(const CancelRequest&) const = default;
};

// Points of the window's content area, origin top-left, y down. The numbers
// are taken as they come (even non-finite); the methods check them.
struct PlayerBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool visible = false;

    bool operator==(const PlayerBounds&) const = default;
};

struct PreviewRequest {
    std::string videoId;
    bool enabled = false;
    bool showRegions = false;
    RenderSettings renderSettings;

    bool operator==(const PreviewRequest&) const = default;
};

struct DrawingRequest {
    std::string videoId;
    bool enabled = false;

    bool operator==(const DrawingRequest&) const = default;
};

struct VideoRequest {
    std::string videoId;

    bool operator==(const VideoRequest&) const = default;
};

struct SeekRequest {
    std::string videoId;
    double time = 0; // seconds

    bool operator==(const SeekRequest&) const = default;
};

struct RevealRequest {
    std::string path;

    bool operator==(const RevealRequest&) const = default;
};

// Saved reviews and the review list.

enum class TrackStepDirection { next, previous };

// The frame of a track after or before `time` (the preview's time).
struct StepTrackRequest {
    std::string videoId;
    std::int64_t trackId = 0;
    double time = 0; // seconds
    TrackStepDirection direction = TrackStepDirection::next;

    bool operator==(const StepTrackRequest&) const = default;
};

// The scan of the current video, its settings and these render settings,
// into the review's file; a file chooser first when there is none yet or
// `saveAs` asks for one.
struct SaveReviewRequest {
    std::string videoId;
    RenderSettings renderSettings;
    bool saveAs = false;

    bool operator==(const SaveReviewRequest&) const = default;
};

// A review file to open; none asks the user for one.
struct OpenReviewRequest {
    std::optional<std::string> path; // "path": string or null

    bool operator==(const OpenReviewRequest&) const = default;
};

// A file the page names (a video the user agreed to open in place of an
// unsaved review).
struct FileRequest {
    std::string path;

    bool operator==(const FileRequest&) const = default;
};

// Whether the page holds review edits that no saved review has.
struct ReviewStateRequest {
    bool unsaved = false;

    bool operator==(const ReviewStateRequest&) const = default;
};

// Strict decoders: every key required, JSON types checked, extra keys
// ignored. Throw JsonDecodeError naming the key path.
ScanRequest decodeScanRequest(const Json& params);
ExportRequest decodeExportRequest(const Json& params);
CheckCopyRequest decodeCheckCopyRequest(const Json& params);
CancelRequest decodeCancelRequest(const Json& params);
PlayerBounds decodePlayerBounds(const Json& params);
PreviewRequest decodePreviewRequest(const Json& params);
DrawingRequest decodeDrawingRequest(const Json& params);
VideoRequest decodeVideoRequest(const Json& params);
SeekRequest decodeSeekRequest(const Json& params);
RevealRequest decodeRevealRequest(const Json& params);
StepTrackRequest decodeStepTrackRequest(const Json& params);
SaveReviewRequest decodeSaveReviewRequest(const Json& params);
OpenReviewRequest decodeOpenReviewRequest(const Json& params);
FileRequest decodeFileRequest(const Json& params);
ReviewStateRequest decodeReviewStateRequest(const Json& params);

// ------------------------------------------------------------ native → page

struct ScanSummary {
    double duration = 0;
    std::int64_t sampleCount = 0;
    std::int64_t totalRegions = 0;
    std::vector<DetectionTrack> tracks;
    // What hides each track (tracks that hide nothing are absent); sent as
    // each track's "kinds".
    std::map<std::int64_t, std::vector<RedactionKind>> hiddenKinds;

    static ScanSummary of(const ScanResult& result);
    bool operator==(const ScanSummary&) const = default;
};

struct ExportResult {
    std::string outputPath;

    bool operator==(const ExportResult&) const = default;
};

// What the page shows of a check of the exported copy: the verdict, the
// readable moments (not every span of every frame) and the differences.
struct CopyCheckSummary {
    // A moment as the page lists it: `description` is the kind in words.
    struct Moment {
        ReadableMoment moment;
        std::string description;

        bool operator==(const Moment&) const = default;
    };

    bool clean = false;
    std::int64_t framesRead = 0;
    std::vector<Moment> moments;
    std::vector<std::string> differences;
    std::vector<std::string> notes;

    static CopyCheckSummary of(const CopyCheck& check);
    bool operator==(const CopyCheckSummary&) const = default;
};

enum class JobKind { scan, exportVideo, verify };

struct JobProgress {
    std::string id; // the page's job id
    std::string videoId;
    JobKind kind = JobKind::scan;
    double progress = 0;
    std::int64_t processed = 0;
    std::int64_t total = 0;
    std::optional<std::int64_t> regions;
    std::optional<std::string> message;

    bool operator==(const JobProgress&) const = default;
};

// The preview player's playback state.
struct PlayerState {
    std::string videoId;
    double time = 0; // seconds; 0 when the player's time is not finite
    bool isPlaying = false;

    bool operator==(const PlayerState&) const = default;
};

// A click in the player: the track hit, or none.
struct RegionSelection {
    std::string videoId;
    std::optional<std::int64_t> trackId;

    bool operator==(const RegionSelection&) const = default;
};

struct ManualMaskDrawn {
    std::string videoId;
    NormalizedRect rect;

    bool operator==(const ManualMaskDrawn&) const = default;
};

// The File menu items, sent to the page as the "command" event. `close`
// asks the page about an unsaved review before the window goes.
enum class MenuCommand { open, scan, exportVideo, saveReview, openReview, close };

// A review opened onto its video: what the page restores.
struct OpenedReview {
    std::string path; // the review file
    VideoInfo video;
    ScanSettings scanSettings;
    RenderSettings renderSettings;
    ScanSummary summary;

    bool operator==(const OpenedReview&) const = default;
};

// What kind of file came from outside for the page to open ("openRequested").
enum class OpenedFileKind { video, review };

std::string_view rawValue(JobKind kind);
std::string_view rawValue(MenuCommand command);

Json toJson(const ScanSummary& value);
Json toJson(const ExportResult& value);
Json toJson(const CopyCheckSummary& value);
Json toJson(const JobProgress& value); // "regions" and "message" left out when absent
Json toJson(const PlayerState& value);
Json toJson(const RegionSelection& value); // "trackId": null when no track
Json toJson(const ManualMaskDrawn& value);
Json toJson(const OpenedReview& value);
Json openRequestedObject(const std::filesystem::path& path, OpenedFileKind kind); // {"path", "kind"}
Json savedReviewObject(const std::filesystem::path& path);                       // {"path"}
Json stepTrackReply(std::optional<double> time);                                  // {"time": number or null}

Json acknowledgement();       // {"ok": true}
Json cancelAcknowledgement(); // {"cancelled": true}
Json messageObject(std::string_view message);
Json drawingEndedObject(std::string_view videoId);
Json commandObject(MenuCommand command);

// The script that calls `function` ("resolve", "reject" or "emit") on the
// page: window.__scrivel?.NAME(ARG, PAYLOAD); with ARG a JSON string literal
// and PAYLOAD compact JSON. nullopt when either cannot be encoded (a
// non-finite number, a string that is not UTF-8): such a call is not made.
std::optional<std::string> pageCallText(std::string_view function, std::string_view argument, const Json& payload);

// The text of a "reject": "Operation cancelled." for a cancellation, the
// error's own message otherwise.
std::string rejectionMessage(std::exception_ptr error);

} // namespace scrivel

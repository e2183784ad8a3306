#include "ScrivelApp/BridgeProtocol.hpp"

#include <cmath>
#include <utility>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/TrackReview.hpp"

namespace scrivel {

namespace {

// Any JSON number, non-finite ones included: a value handed over already
// parsed may hold them, and the methods that care reject them themselves.
double anyNumber(const Json& params, const char* key)
{
    const Json& value = json::require(params, key);
    if (!value.is_number())
        throw JsonDecodeError(std::string(key) + ": expected a number");
    return value.get<double>();
}

// JSON text cannot hold NaN or infinity; such a payload is not sent at all.
bool allNumbersFinite(const Json& root)
{
    std::vector<const Json*> pending{&root};
    while (!pending.empty()) {
        const Json* value = pending.back();
        pending.pop_back();
        if (value->is_number_float() && !std::isfinite(value->get<double>()))
            return false;
        if (value->is_structured())
            for (const Json& child : *value)
                pending.push_back(&child);
    }
    return true;
}

} // namespace

ScanRequest decodeScanRequest(const Json& params)
{
    return {json::string(params, "videoId"), json::string(params, "jobId"), json::record<ScanSettings>(params, "settings")};
}

ExportRequest decodeExportRequest(const Json& params)
{
    return {json::string(params, "videoId"), json::string(params, "jobId"),
            json::record<RenderSettings>(params, "settings")};
}

CheckCopyRequest decodeCheckCopyRequest(const Json& params)
{
    return {json::string(params, "videoId"), json::string(params, "jobId")};
}

CancelRequest decodeCancelRequest(const Json& params)
{
    return {json::string(params, "jobId")};
}

PlayerBounds decodePlayerBounds(const Json& params)
{
    return {anyNumber(params, "x"), anyNumber(params, "y"), anyNumber(params, "width"), anyNumber(params, "height"),
            json::boolean(params, "visible")};
}

PreviewRequest decodePreviewRequest(const Json& params)
{
    return {json::string(params, "videoId"), json::boolean(params, "enabled"), json::boolean(params, "showRegions"),
            json::record<RenderSettings>(params, "renderSettings")};
}

DrawingRequest decodeDrawingRequest(const Json& params)
{
    return {json::string(params, "videoId"), json::boolean(params, "enabled")};
}

VideoRequest decodeVideoRequest(const Json& params)
{
    return {json::string(params, "videoId")};
}

SeekRequest decodeSeekRequest(const Json& params)
{
    return {json::string(params, "videoId"), anyNumber(params, "time")};
}

RevealRequest decodeRevealRequest(const Json& params)
{
    return {json::string(params, "path")};
}

StepTrackRequest decodeStepTrackRequest(const Json& params)
{
    const std::string direction = json::string(params, "direction");
    if (direction != "next" && direction != "previous")
        throw JsonDecodeError("direction: unknown value \"" + direction + "\"");
    return {json::string(params, "videoId"), json::int64(params, "trackId"), anyNumber(params, "time"),
            direction == "next" ? TrackStepDirection::next : TrackStepDirection::previous};
}

SaveReviewRequest decodeSaveReviewRequest(const Json& params)
{
    return {json::string(params, "videoId"), json::record<RenderSettings>(params, "renderSettings"),
            json::boolean(params, "saveAs")};
}

OpenReviewRequest decodeOpenReviewRequest(const Json& params)
{
    if (json::require(params, "path").is_null())
        return {std::nullopt};
    return {json::string(params, "path")};
}

FileRequest decodeFileRequest(const Json& params)
{
    return {json::string(params, "path")};
}

ReviewStateRequest decodeReviewStateRequest(const Json& params)
{
    return {json::boolean(params, "unsaved")};
}

ScanSummary ScanSummary::of(const ScanResult& result)
{
    return {result.duration, result.sampleCount, result.totalRegions, result.tracks(), hiddenKindsByTrack(result)};
}

CopyCheckSummary CopyCheckSummary::of(const CopyCheck& check)
{
    CopyCheckSummary summary{check.clean(), check.framesRead, {}, check.differences, check.notes};
    for (ReadableMoment& moment : check.moments()) {
        std::string description(kindDescription(moment.kind));
        summary.moments.push_back({std::move(moment), std::move(description)});
    }
    return summary;
}

std::string_view rawValue(JobKind kind)
{
    switch (kind) {
    case JobKind::scan:
        return "scan";
    case JobKind::exportVideo:
        return "export";
    case JobKind::verify:
        return "verify";
    }
    return "scan";
}

std::string_view rawValue(MenuCommand command)
{
    switch (command) {
    case MenuCommand::open:
        return "open";
    case MenuCommand::scan:
        return "scan";
    case MenuCommand::exportVideo:
        return "export";
    case MenuCommand::saveReview:
        return "saveReview";
    case MenuCommand::openReview:
        return "openReview";
    case MenuCommand::close:
        return "close";
    }
    return "open";
}

Json toJson(const ScanSummary& value)
{
    Json tracks = Json::array();
    for (const DetectionTrack& track : value.tracks) {
        Json object = toJson(track);
        Json kinds = Json::array();
        if (const auto found = value.hiddenKinds.find(track.id); found != value.hiddenKinds.end())
            for (const RedactionKind kind : found->second)
                kinds.push_back(rawValue(kind));
        object["kinds"] = std::move(kinds);
        tracks.push_back(std::move(object));
    }
    return {{"duration", value.duration},
            {"sampleCount", value.sampleCount},
            {"totalRegions", value.totalRegions},
            {"tracks", std::move(tracks)}};
}

Json toJson(const ExportResult& value)
{
    return {{"outputPath", value.outputPath}};
}

Json toJson(const CopyCheckSummary& value)
{
    Json moments = Json::array();
    for (const CopyCheckSummary::Moment& moment : value.moments) {
        Json object = toJson(moment.moment);
        object["description"] = moment.description;
        moments.push_back(std::move(object));
    }
    return {{"clean", value.clean},
            {"framesRead", value.framesRead},
            {"moments", std::move(moments)},
            {"differences", value.differences},
            {"notes", value.notes}};
}

Json toJson(const JobProgress& value)
{
    Json object = {{"id", value.id},
                   {"videoId", value.videoId},
                   {"kind", rawValue(value.kind)},
                   {"progress", value.progress},
                   {"processed", value.processed},
                   {"total", value.total}};
    if (value.regions)
        object["regions"] = *value.regions;
    if (value.message)
        object["message"] = *value.message;
    return object;
}

Json toJson(const PlayerState& value)
{
    return {{"videoId", value.videoId}, {"time", value.time}, {"isPlaying", value.isPlaying}};
}

Json toJson(const RegionSelection& value)
{
    return {{"videoId", value.videoId}, {"trackId", value.trackId ? Json(*value.trackId) : Json(nullptr)}};
}

Json toJson(const ManualMaskDrawn& value)
{
    return {{"videoId", value.videoId}, {"rect", toJson(value.rect)}};
}

Json toJson(const OpenedReview& value)
{
    return {{"path", value.path},
            {"video", toJson(value.video)},
            {"scanSettings", toJson(value.scanSettings)},
            {"renderSettings", toJson(value.renderSettings)},
            {"summary", toJson(value.summary)}};
}

Json openRequestedObject(const std::filesystem::path& path, OpenedFileKind kind)
{
    return {{"path", path.string()}, {"kind", kind == OpenedFileKind::video ? "video" : "review"}};
}

Json savedReviewObject(const std::filesystem::path& path)
{
    return {{"path", path.string()}};
}

Json stepTrackReply(std::optional<double> time)
{
    return {{"time", time ? Json(*time) : Json(nullptr)}};
}

Json acknowledgement()
{
    return {{"ok", true}};
}

Json cancelAcknowledgement()
{
    return {{"cancelled", true}};
}

Json messageObject(std::string_view message)
{
    return {{"message", message}};
}

Json drawingEndedObject(std::string_view videoId)
{
    return {{"videoId", videoId}};
}

Json commandObject(MenuCommand command)
{
    return {{"name", rawValue(command)}};
}

std::optional<std::string> pageCallText(std::string_view function, std::string_view argument, const Json& payload)
{
    if (!allNumbersFinite(payload))
        return std::nullopt;
    std::string encodedArgument, encodedPayload;
    try {
        // Strict UTF-8: a string that is not valid text cannot be sent.
        encodedArgument = Json(argument).dump();
        encodedPayload = payload.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    std::string call;
    call.reserve(24 + function.size() + encodedArgument.size() + encodedPayload.size());
    call += "window.__scrivel?.";
    call += function;
    call += '(';
    call += encodedArgument;
    call += ", ";
    call += encodedPayload;
    call += ");";
    return call;
}

std::string rejectionMessage(std::exception_ptr error)
{
    try {
        std::rethrow_exception(std::move(error));
    } catch (const OperationCancelled& cancelled) {
        return cancelled.what();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return ScrivelError::invalidRequest().what();
    }
}

} // namespace scrivel

#include "ScrivelApp/NativeBridge.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/TrackReview.hpp"
#include "export/CopyVerifier.hpp"
#include "decode/FileFingerprint.hpp"
#include "decode/MediaInspector.hpp"
#include "export/VideoExporter.hpp"
#include "scan/VideoScanner.hpp"

namespace scrivel {

namespace fs = std::filesystem;

namespace {

// Containers nested deeper than this in a message are dropped while parsing:
// no record goes near it, and the JSON library copies and compares
// recursively.
constexpr int kMaximumMessageDepth = 64;

constexpr const char* kExportMessage = "Rendering video and preserving audio";

bool isCancellation(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return true;
    } catch (...) {
        return false;
    }
}

std::exception_ptr cancellation()
{
    return std::make_exception_ptr(OperationCancelled());
}

bool isSupportedVideoFile(const fs::path& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mp4" || extension == ".mov" || extension == ".m4v";
}

bool isReviewFile(const fs::path& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == SavedReview::fileExtension;
}

const OpenPanelOptions& reviewOpenPanel()
{
    static const OpenPanelOptions options = [] {
        OpenPanelOptions o{"Open a saved review", {}, false, false};
        o.suffixes = {"scrivel"};
        o.filterName = "Scrivel reviews";
        return o;
    }();
    return options;
}

bool allFinite(const PlayerBounds& bounds)
{
    return std::isfinite(bounds.x) && std::isfinite(bounds.y) && std::isfinite(bounds.width) &&
           std::isfinite(bounds.height);
}

ViewRect frameOf(const PlayerBounds& bounds)
{
    return {bounds.x, bounds.y, std::max(bounds.width, 0.0), std::max(bounds.height, 0.0)};
}

} // namespace

BridgeOperations BridgeOperations::product()
{
    return {
        [](const fs::path& url) { return MediaInspector::inspect(url); },
        [](const fs::path& url, const ScanSettings& settings, const ScanProgressCallback& progress,
           std::stop_token stop) { return VideoScanner().scan(url, settings, progress, stop); },
        [](const fs::path& source, const fs::path& output, const ScanResult& result, const RenderSettings& settings,
           const std::function<void(double)>& progress, std::stop_token stop) {
            VideoExporter::exportVideo(source, output, result, settings, progress, stop);
        },
        [](const fs::path& original, const fs::path& copy, const ScanSettings& settings,
           const ScanProgressCallback& progress,
           std::stop_token stop) { return CopyVerifier().check(original, copy, settings, progress, stop); },
    };
}

NativeBridge::NativeBridge(PreviewPlayerControl& player, ViewFrame& dragStrip, FilePanels& panels,
                           Workspace& workspace, std::shared_ptr<MainThreadExecutor> executor,
                           BridgeOperations operations)
    : player_(player), dragStrip_(dragStrip), panels_(panels), workspace_(workspace), executor_(std::move(executor)),
      operations_(std::move(operations)), probes_(executor_), tasks_(executor_)
{
    player_.setEventSink(this);
}

NativeBridge::~NativeBridge()
{
    player_.setEventSink(nullptr);
    alive_.reset();
}

void NativeBridge::setPageView(std::weak_ptr<PageView> page)
{
    page_ = std::move(page);
}

std::optional<VideoInfo> NativeBridge::selectedVideo() const
{
    if (!selection_)
        return std::nullopt;
    return selection_->info;
}

std::optional<std::string> NativeBridge::runningJobId() const
{
    if (!job_)
        return std::nullopt;
    return job_->id;
}

// ---------------------------------------------------------------- messages

void NativeBridge::receiveScriptMessage(std::string_view handler, bool fromMainFrame, std::string_view body)
{
    if (shuttingDown_ || handler != handlerName || !fromMainFrame)
        return;
    handleMessage(body);
}

void NativeBridge::handleMessage(std::string_view body)
{
    if (shuttingDown_)
        return;
    const auto depthLimit = [](int depth, Json::parse_event_t event, Json&) {
        const bool opens = event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
        return !opens || depth < kMaximumMessageDepth;
    };
    const Json parsed = Json::parse(body.begin(), body.end(), depthLimit, /*allow_exceptions=*/false);
    if (parsed.is_discarded())
        return; // not JSON: no request to answer
    handleParsedMessage(parsed);
}

void NativeBridge::handleParsedMessage(const Json& body)
{
    if (shuttingDown_ || !body.is_object())
        return;
    const auto id = body.find("id");
    const auto method = body.find("method");
    if (id == body.end() || !id->is_string() || method == body.end() || !method->is_string())
        return; // no reply can be addressed
    static const Json empty = Json::object();
    const auto params = body.find("params");
    dispatch(id->get_ref<const std::string&>(), method->get_ref<const std::string&>(),
             params == body.end() ? empty : *params);
}

void NativeBridge::dispatch(const std::string& requestId, const std::string& method, const Json& params)
{
    try {
        if (method == "ready") {
            ready_ = true;
            std::optional<fs::path> pending = std::exchange(pendingVideo_, std::nullopt);
            // The reply goes first, so the page hears "ready" answered before
            // the held video's "videoSelected".
            resolve(requestId, acknowledgement());
            if (pending)
                handleDroppedFile(*pending);
        } else if (method == "openVideo") {
            openVideo(requestId);
        } else if (method == "scanVideo") {
            startScan(requestId, decodeScanRequest(params));
        } else if (method == "exportVideo") {
            startExport(requestId, decodeExportRequest(params));
        } else if (method == "checkCopy") {
            startCopyCheck(requestId, decodeCheckCopyRequest(params));
        } else if (method == "cancelJob") {
            const CancelRequest request = decodeCancelRequest(params);
            if (job_ && job_->id == request.jobId)
                cancelJob();
            resolve(requestId, cancelAcknowledgement());
        } else if (method == "setWindowDragBounds") {
            const PlayerBounds bounds = decodePlayerBounds(params);
            if (!allFinite(bounds))
                throw ScrivelError::invalidRequest();
            dragStrip_.setFrame(frameOf(bounds));
            resolve(requestId, acknowledgement());
        } else if (method == "setPlayerBounds") {
            const PlayerBounds bounds = decodePlayerBounds(params);
            if (!allFinite(bounds))
                throw ScrivelError::invalidRequest();
            player_.setFrame(frameOf(bounds));
            player_.setHidden(!(bounds.visible && selection_));
            resolve(requestId, acknowledgement());
        } else if (method == "setPreview") {
            const PreviewRequest request = decodePreviewRequest(params);
            requireVideo(request.videoId);
            requireRenderSettings(request.renderSettings);
            player_.setPreview(request.enabled, request.showRegions, request.renderSettings);
            resolve(requestId, acknowledgement());
        } else if (method == "setDrawing") {
            const DrawingRequest request = decodeDrawingRequest(params);
            requireVideo(request.videoId);
            if (job_)
                throw ScrivelError::invalidRequest();
            player_.setDrawing(request.enabled);
            if (!request.enabled)
                focusPage();
            resolve(requestId, acknowledgement());
        } else if (method == "resetViewport") {
            player_.resetViewport();
            resolve(requestId, acknowledgement());
        } else if (method == "togglePlayback") {
            requireVideo(decodeVideoRequest(params).videoId);
            player_.togglePlayback();
            resolve(requestId, acknowledgement());
        } else if (method == "seek") {
            const SeekRequest request = decodeSeekRequest(params);
            requireVideo(request.videoId);
            const std::optional<VideoInfo> loaded = player_.loadedVideo();
            if (loaded && std::isfinite(request.time))
                player_.seek(std::min(std::max(request.time, 0.0), loaded->duration));
            resolve(requestId, acknowledgement());
        } else if (method == "stepTrack") {
            resolve(requestId, stepTrack(decodeStepTrackRequest(params)));
        } else if (method == "saveReview") {
            saveReview(requestId, decodeSaveReviewRequest(params));
        } else if (method == "openReview") {
            openReview(requestId, decodeOpenReviewRequest(params));
        } else if (method == "openVideoFile") {
            selectVideo(fs::path(decodeFileRequest(params).path),
                        [this, requestId](const VideoInfo* info, std::exception_ptr error) {
                            if (info)
                                resolve(requestId, toJson(*info));
                            else
                                reject(requestId, error);
                        });
        } else if (method == "setReviewState") {
            reviewUnsaved_ = decodeReviewStateRequest(params).unsaved;
            resolve(requestId, acknowledgement());
        } else if (method == "closeWindow") {
            quitConfirmed_ = true;
            resolve(requestId, acknowledgement());
            if (quitHandler_)
                quitHandler_();
        } else if (method == "revealInFinder") {
            workspace_.revealFile(fs::path(decodeRevealRequest(params).path));
            resolve(requestId, acknowledgement());
        } else {
            throw ScrivelError::invalidRequest();
        }
    } catch (...) {
        reject(requestId, std::current_exception());
    }
}

// ---------------------------------------------------------------- selection

void NativeBridge::openVideo(const std::string& requestId)
{
    const std::shared_ptr<PageView> page = page_.lock();
    if (!page || !page->hasWindow())
        throw ScrivelError::invalidRequest();
    const OpenPanelOptions options{"Choose a screen recording", {"video/mp4", "video/quicktime", "video/*"}, false,
                                   false};
    panels_.showOpenPanel(options, [this, alive = std::weak_ptr<int>(alive_),
                                    requestId](std::optional<fs::path> chosen) {
        if (!alive.lock())
            return;
        if (!chosen) {
            resolve(requestId, nullptr);
            return;
        }
        selectVideo(*chosen, [this, requestId](const VideoInfo* info, std::exception_ptr error) {
            if (info)
                resolve(requestId, toJson(*info));
            else
                reject(requestId, error);
        });
    });
}

void NativeBridge::handleDroppedFile(const fs::path& path)
{
    if (shuttingDown_)
        return;
    if (isReviewFile(path) || (reviewUnsaved_ && ready_ && isSupportedVideoFile(path))) {
        if (!ready_) {
            pendingVideo_ = path;
            return;
        }
        emit("openRequested",
             openRequestedObject(fs::absolute(path), isReviewFile(path) ? OpenedFileKind::review : OpenedFileKind::video));
        return;
    }
    if (!isSupportedVideoFile(path)) {
        emit("toast", messageObject(ScrivelError::unsupportedVideo().what()));
        return;
    }
    if (!ready_) {
        pendingVideo_ = path;
        return;
    }
    selectVideo(path, [this](const VideoInfo* info, std::exception_ptr error) {
        if (info)
            emit("videoSelected", toJson(*info));
        else if (!isCancellation(error))
            emit("toast", messageObject(rejectionMessage(error)));
    });
}

void NativeBridge::selectVideo(const fs::path& url, SelectionDone done)
{
    if (shuttingDown_) {
        done(nullptr, cancellation());
        return;
    }
    const std::uint64_t token = ++selectionID_;
    auto access = std::make_shared<SecurityScopedFileAccess>(url);
    probes_.start("probe", [this, inspect = operations_.inspect, url, access, token,
                            done = std::move(done)](std::stop_token) -> JobTasks::Continuation {
        std::optional<VideoInfo> info;
        std::exception_ptr error;
        try {
            info = inspect(url);
        } catch (...) {
            error = std::current_exception();
        }
        return [this, url, access, token, done, info = std::move(info), error](bool) {
            if (error) {
                done(nullptr, error);
                return;
            }
            if (selectionID_ != token) { // a newer attempt or shutdown overtook this one
                done(nullptr, cancellation());
                return;
            }
            cancelJob();
            scanResult_.reset();
            exportedCopy_.reset();
            reviewPath_.reset();
            player_.load(url, *info);
            selection_ = Selection{url, *info, access, nullptr};
            const VideoInfo selected = *info;
            done(&selected, nullptr);
        };
    });
}

const NativeBridge::Selection& NativeBridge::requireVideo(const std::string& videoId) const
{
    if (!selection_ || selection_->info.id != videoId)
        throw ScrivelError::noVideoSelected();
    return *selection_;
}

void NativeBridge::requireRenderSettings(const RenderSettings& settings) const
{
    validateRenderSettings(settings, selection_ ? selection_->info.duration : 0);
}

// ---------------------------------------------------------------- jobs

void NativeBridge::startScan(const std::string& requestId, const ScanRequest& request)
{
    const Selection& selection = requireVideo(request.videoId);
    if (job_)
        throw ScrivelError::invalidRequest();
    player_.setDrawing(false);
    job_ = Job{request.jobId, request.videoId};
    startJob<ScanResult>(
        requestId, request.jobId, request.videoId,
        // The job keeps its own copy of the selection, file access included.
        [scan = operations_.scan, kept = selection, request, reportProgress = progressReporter()](std::stop_token stop) {
            const ScanProgressCallback progress = [&](const ScanProgress& value) {
                reportProgress({request.jobId, request.videoId, JobKind::scan, value.progress, value.processed,
                                value.total, value.regions, value.message});
            };
            return scan(kept.url, request.settings, progress, stop);
        },
        [this, settings = request.settings](ScanResult& result) {
            scanResult_ = std::make_shared<const ScanResult>(std::move(result));
            scanSettings_ = settings;
            reviewPath_.reset(); // a new scan is not the saved review any more
            player_.setScanResult(*scanResult_);
            return toJson(ScanSummary::of(*scanResult_));
        });
}

void NativeBridge::startExport(const std::string& requestId, const ExportRequest& request)
{
    const Selection& selection = requireVideo(request.videoId);
    requireRenderSettings(request.settings);
    const std::shared_ptr<PageView> page = page_.lock();
    if (!scanResult_ || job_ || !page || !page->hasWindow())
        throw ScrivelError::noScanResult();
    const SavePanelOptions options{"Export redacted video", {"video/mp4"}, true,
                                   selection.url.stem().string() + "-scrivel.mp4"};
    // The panel's answer works on the request, selection and result as they
    // were when it opened.
    panels_.showSavePanel(options, [this, alive = std::weak_ptr<int>(alive_), requestId, request, kept = selection,
                                    keptResult = scanResult_,
                                    keptSettings = scanSettings_](std::optional<fs::path> chosen) {
        if (!alive.lock())
            return;
        if (!chosen) {
            resolve(requestId, nullptr);
            return;
        }
        if (shuttingDown_ || !selection_ || selection_->info.id != request.videoId || job_) {
            reject(requestId, cancellation());
            return;
        }
        player_.setDrawing(false);
        // Whatever the export leaves at its destination, the last finished
        // export is no longer the one to check.
        exportedCopy_.reset();
        job_ = Job{request.jobId, request.videoId};
        startJob<ExportResult>(
            requestId, request.jobId, request.videoId,
            [exportVideo = operations_.exportVideo, kept, keptResult, output = *chosen, request,
             reportProgress = progressReporter()](std::stop_token stop) {
                const auto progress = [&](double fraction) {
                    reportProgress({request.jobId, request.videoId, JobKind::exportVideo, fraction,
                                    static_cast<std::int64_t>(std::trunc(fraction * 100)), 100, std::nullopt,
                                    kExportMessage});
                };
                exportVideo(kept.url, output, *keptResult, request.settings, progress, stop);
                return ExportResult{output.string()};
            },
            [this, videoId = request.videoId, keptSettings](ExportResult& result) {
                exportedCopy_ = ExportedCopy{videoId, result.outputPath, keptSettings};
                return toJson(result);
            });
    });
}

void NativeBridge::startCopyCheck(const std::string& requestId, const CheckCopyRequest& request)
{
    const Selection& selection = requireVideo(request.videoId);
    if (job_)
        throw ScrivelError::invalidRequest();
    if (!exportedCopy_ || exportedCopy_->videoID != request.videoId)
        throw ScrivelError::noExportedCopy();
    player_.setDrawing(false);
    job_ = Job{request.jobId, request.videoId};
    startJob<CopyCheck>(
        requestId, request.jobId, request.videoId,
        [verify = operations_.verify, kept = selection, copy = *exportedCopy_, request,
         reportProgress = progressReporter()](std::stop_token stop) {
            const ScanProgressCallback progress = [&](const ScanProgress& value) {
                reportProgress({request.jobId, request.videoId, JobKind::verify, value.progress, value.processed,
                                value.total, std::nullopt, value.message});
            };
            return verify(kept.url, copy.path, copy.scanSettings, progress, stop);
        },
        [](CopyCheck& check) { return toJson(CopyCheckSummary::of(check)); });
}

template <class Result>
void NativeBridge::startJob(const std::string& requestId, const std::string& jobId, const std::string& videoId,
                            std::function<Result(std::stop_token)> operation,
                            std::function<Json(Result&)> completion)
{
    tasks_.start(jobId, [this, operation = std::move(operation), completion = std::move(completion), requestId, jobId,
                         videoId](std::stop_token stop) -> JobTasks::Continuation {
        auto outcome = std::make_shared<std::optional<Result>>();
        std::exception_ptr error;
        try {
            outcome->emplace(operation(stop));
        } catch (...) {
            error = std::current_exception();
        }
        return [this, outcome, error, completion, requestId, jobId, videoId](bool cancelled) {
            try {
                if (error)
                    std::rethrow_exception(error);
                if (cancelled)
                    throw OperationCancelled();
                // Cancelled, finished or overtaken by a newer selection meanwhile.
                if (!job_ || job_->id != jobId || !selection_ || selection_->info.id != videoId)
                    throw OperationCancelled();
                resolve(requestId, completion(**outcome));
            } catch (...) {
                reject(requestId, std::current_exception());
            }
            if (job_ && job_->id == jobId)
                job_.reset();
        };
    });
}

void NativeBridge::cancelJob()
{
    if (!job_)
        return;
    tasks_.cancel(job_->id);
    job_.reset();
}

std::function<void(const JobProgress&)> NativeBridge::progressReporter()
{
    // Called on the job's thread; each value becomes its own main-thread task.
    return [executor = executor_, alive = std::weak_ptr<int>(alive_), this](const JobProgress& progress) {
        executor->post([alive, this, progress] {
            if (alive.lock())
                report(progress);
        });
    };
}

void NativeBridge::report(const JobProgress& progress)
{
    if (!job_ || job_->id != progress.id || job_->videoID != progress.videoId || !selection_ ||
        selection_->info.id != progress.videoId)
        return; // stale: cancelled, finished or superseded
    emit("jobProgress", toJson(progress));
}

// ---------------------------------------------------------------- reviews

Json NativeBridge::stepTrack(const StepTrackRequest& request) const
{
    requireVideo(request.videoId);
    if (!scanResult_)
        throw ScrivelError::noScanResult();
    const TrackStep step = request.direction == TrackStepDirection::next ? TrackStep::next : TrackStep::previous;
    return stepTrackReply(trackFrameTime(*scanResult_, request.trackId, request.time, step));
}

void NativeBridge::saveReview(const std::string& requestId, const SaveReviewRequest& request)
{
    const Selection& selection = requireVideo(request.videoId);
    requireRenderSettings(request.renderSettings);
    if (!scanResult_)
        throw ReviewFileError::nothingScanned();
    if (reviewPath_ && !request.saveAs) {
        writeReview(requestId, *reviewPath_, request.renderSettings);
        return;
    }
    const std::shared_ptr<PageView> page = page_.lock();
    if (!page || !page->hasWindow())
        throw ScrivelError::invalidRequest();
    SavePanelOptions options{"Save review", {}, true, selection.url.stem().string() + ".scrivel"};
    options.suffixes = {"scrivel"};
    options.filterName = "Scrivel reviews";
    options.defaultExtension = std::string(SavedReview::fileExtension);
    panels_.showSavePanel(options, [this, alive = std::weak_ptr<int>(alive_), requestId, request,
                                    videoId = selection.info.id](std::optional<fs::path> chosen) {
        if (!alive.lock())
            return;
        if (!chosen) {
            resolve(requestId, nullptr);
            return;
        }
        if (shuttingDown_ || !selection_ || selection_->info.id != videoId || !scanResult_) {
            reject(requestId, cancellation());
            return;
        }
        writeReview(requestId, *chosen, request.renderSettings);
    });
}

// Hashes the video (once per selection) and writes the file off the main
// thread; the review is what the bridge holds now.
void NativeBridge::writeReview(const std::string& requestId, const fs::path& file, const RenderSettings& settings)
{
    const Selection& selection = *selection_;
    const std::uint64_t token = selectionID_;
    const std::shared_ptr<const ScanResult> result = scanResult_;
    probes_.start("review", [this, url = selection.url, known = selection.reviewed, access = selection.access, result,
                             scanSettings = scanSettings_, settings, file, requestId,
                             token](std::stop_token stop) -> JobTasks::Continuation {
        std::shared_ptr<const ReviewedVideo> reviewed = known;
        std::exception_ptr error;
        try {
            if (!reviewed)
                reviewed = std::make_shared<const ReviewedVideo>(reviewedVideo(url, stop));
            writeReviewFile(file, SavedReview{*reviewed, scanSettings, *result, settings});
        } catch (...) {
            error = std::current_exception();
        }
        return [this, reviewed, result, file, requestId, token, error](bool) {
            if (error) {
                reject(requestId, error);
                return;
            }
            // Still the same video and scan: later saves go to this file.
            if (selectionID_ == token && selection_ && scanResult_ == result) {
                selection_->reviewed = reviewed;
                reviewPath_ = file;
            }
            resolve(requestId, savedReviewObject(file));
        };
    });
}

void NativeBridge::openReview(const std::string& requestId, const OpenReviewRequest& request)
{
    const auto read = [this, requestId](const fs::path& file) {
        if (shuttingDown_) {
            reject(requestId, cancellation());
            return;
        }
        // Reading and hashing take a while for a long recording.
        probes_.start("review", [this, file, requestId](std::stop_token stop) -> JobTasks::Continuation {
            std::optional<SavedReview> review;
            std::exception_ptr error;
            try {
                review = readReviewFile(file);
                checkReviewedVideo(review->video, stop);
            } catch (...) {
                error = std::current_exception();
            }
            return [this, file, requestId, review = std::move(review), error](bool cancelled) mutable {
                if (error || cancelled) {
                    reject(requestId, error ? error : cancellation());
                    return;
                }
                restoreReview(requestId, file, std::move(*review));
            };
        });
    };
    if (request.path) {
        read(fs::absolute(*request.path));
        return;
    }
    const std::shared_ptr<PageView> page = page_.lock();
    if (!page || !page->hasWindow())
        throw ScrivelError::invalidRequest();
    panels_.showOpenPanel(reviewOpenPanel(), [alive = std::weak_ptr<int>(alive_), this, requestId,
                                              read](std::optional<fs::path> chosen) {
        if (!alive.lock())
            return;
        if (!chosen)
            resolve(requestId, nullptr);
        else
            read(*chosen);
    });
}

void NativeBridge::restoreReview(const std::string& requestId, const fs::path& file, SavedReview review)
{
    auto kept = std::make_shared<SavedReview>(std::move(review));
    selectVideo(kept->video.path, [this, requestId, file, kept](const VideoInfo* info, std::exception_ptr error) {
        if (!info) {
            reject(requestId, error);
            return;
        }
        scanResult_ = std::make_shared<const ScanResult>(kept->scanResult);
        scanSettings_ = kept->scanSettings;
        reviewPath_ = file;
        selection_->reviewed = std::make_shared<const ReviewedVideo>(kept->video);
        player_.setScanResult(*scanResult_);
        resolve(requestId, toJson(OpenedReview{file.string(), *info, kept->scanSettings, kept->renderSettings,
                                               ScanSummary::of(*scanResult_)}));
    });
}

bool NativeBridge::holdQuitForUnsavedReview()
{
    if (!reviewUnsaved_ || quitConfirmed_ || shuttingDown_ || !ready_ || !page_.lock())
        return false;
    emitCommand(MenuCommand::close);
    return true;
}

void NativeBridge::setQuitHandler(std::function<void()> quit)
{
    quitHandler_ = std::move(quit);
}

// ---------------------------------------------------------------- shell

NavigationDecision NativeBridge::decideNavigation(const NavigationAction& action)
{
    const NavigationVerdict verdict = scrivel::decideNavigation(action);
    if (verdict.openExternally)
        workspace_.openURL(*verdict.openExternally);
    return verdict.decision;
}

void NativeBridge::emitCommand(MenuCommand command)
{
    emit("command", commandObject(command));
}

void NativeBridge::shutdown(std::function<void()> done)
{
    shuttingDown_ = true;
    ++selectionID_; // a selection still probing ends cancelled
    job_.reset();
    player_.shutdown();
    // Probes are awaited too, so no thread of ours is left when `done` runs.
    tasks_.cancelAllAndWait([this, done = std::move(done)]() mutable {
        probes_.cancelAllAndWait([this, done = std::move(done)] {
            selection_.reset();
            if (done)
                done();
        });
    });
}

void NativeBridge::playerStateChanged(const PlayerState& state)
{
    emit("playerState", toJson(state));
}

void NativeBridge::playerRegionSelected(const RegionSelection& selection)
{
    emit("regionSelected", toJson(selection));
}

void NativeBridge::playerManualMaskDrawn(const std::string& videoId, const NormalizedRect& rect)
{
    emit("manualMaskDrawn", toJson(ManualMaskDrawn{videoId, rect}));
}

void NativeBridge::playerDrawingEnded(const std::string& videoId)
{
    focusPage();
    emit("drawingEnded", drawingEndedObject(videoId));
}

void NativeBridge::playerFailed(const std::string& message)
{
    emit("toast", messageObject(message));
}

// ---------------------------------------------------------------- page calls

void NativeBridge::resolve(const std::string& requestId, const Json& payload)
{
    send("resolve", requestId, payload);
}

void NativeBridge::reject(const std::string& requestId, std::exception_ptr error)
{
    send("reject", requestId, messageObject(rejectionMessage(std::move(error))));
}

void NativeBridge::emit(std::string_view event, const Json& payload)
{
    send("emit", event, payload);
}

void NativeBridge::send(std::string_view function, std::string_view argument, const Json& payload)
{
    const std::optional<std::string> call = pageCallText(function, argument, payload);
    const std::shared_ptr<PageView> page = page_.lock();
    if (!call || !page)
        return;
    page->evaluateScript(*call);
}

void NativeBridge::focusPage()
{
    if (const std::shared_ptr<PageView> page = page_.lock())
        page->focusPage();
}

} // namespace scrivel

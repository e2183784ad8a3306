#include "recognition/IncrementalRecognizer.hpp"
#include "recognition/IncrementalRecognizerParts.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>
#include <utility>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "recognition/OcrEngine.hpp"
#include "common/ParallelFor.hpp"
#include "scan/StageProfile.hpp"
#include "recognition/TextRecognizer.hpp"

namespace scrivel {

IncrementalRecognizer::IncrementalRecognizer(std::shared_ptr<const OcrEngine> engine, Options options)
    : engine_(std::move(engine)), options_(options)
{
    options_.threads = std::max(1, options_.threads);
}

IncrementalRecognizer::IncrementalRecognizer(Options options) : IncrementalRecognizer(OcrEngine::shared(), options) {}

IncrementalRecognizer::~IncrementalRecognizer() = default;

std::vector<std::optional<OcrEngine::LineReading>> IncrementalRecognizer::read(const cv::Mat& frame,
                                                                                const std::vector<cv::Rect>& lines,
                                                                                std::stop_token stop,
                                                                                std::size_t composable,
                                                                                const Composer& compose)
{
    std::vector<std::optional<OcrEngine::LineReading>> readings(lines.size());
    // Crops of equal pixels are read once, even within a frame.
    struct Pending {
        LineReadingCache::Key key;
        cv::Rect line;
        std::vector<std::size_t> users;
        std::optional<OcrEngine::LineReading> reading;
    };
    std::vector<Pending> pending;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> pendingIndex;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const cv::Rect& line = lines[i];
        if (line.empty())
            continue;
        const cv::Mat crop = frame(line);
        const LineReadingCache::Key key = LineReadingCache::keyOf(crop);
        if (auto hit = cache_.find(key)) {
            readings[i] = std::move(*hit);
            ++statistics_.linesReused;
            continue;
        }
        // A crop the same picture as one read before, but for coding noise
        // (a line that left and came back, or moved with a part of the
        // screen the frame's shift did not describe), takes that reading, as
        // a line kept from the previous frame does.
        if (auto similar = cache_.findSimilar(crop, samePictureWithinNoise)) {
            cache_.insert(key, *similar);
            readings[i] = std::move(*similar);
            ++statistics_.linesReused;
            ++statistics_.linesMatched;
            continue;
        }
        // The same, found in a box a pixel or two off (detection boxes of one
        // line vary with what else their window held): the reading moves with
        // the ink.
        if (auto moved = cache_.findMoved(crop, [&](const cv::Mat& read, const LineReadingCache::Entry& entry,
                                                    cv::Point inkOffset) {
                return movedEntry(crop, read, entry, inkOffset);
            })) {
            cache_.insert(key, *moved);
            readings[i] = std::move(*moved);
            ++statistics_.linesReused;
            ++statistics_.linesMatched;
            continue;
        }
        if (i < composable && compose) {
            if (auto composed = compose(line)) {
                readings[i] = std::move(composed);
                ++statistics_.linesReused;
                ++statistics_.linesComposed;
                continue;
            }
        }
        auto [at, added] = pendingIndex.try_emplace({key.high, key.low}, pending.size());
        if (added)
            pending.push_back({key, line, {}, std::nullopt});
        else
            ++statistics_.linesReused;
        pending[at->second].users.push_back(i);
    }
    // Equal text drawn at the same horizontal offset in several places (a
    // column of a sheet repeating a value) is the same picture but for
    // coding noise: read once.
    // So is one cell found in boxes a pixel or two apart: its reading moves
    // with the ink.
    std::vector<std::size_t> readFor(pending.size());
    std::vector<std::optional<cv::Point>> inkOffsetFor(pending.size());
    std::vector<cv::Rect> inkOf(pending.size());
    std::vector<std::size_t> toRead;
    for (std::size_t k = 0; k < pending.size(); ++k) {
        const cv::Mat crop = frame(pending[k].line);
        auto same = std::find_if(toRead.begin(), toRead.end(), [&](std::size_t j) {
            return pending[j].line.size() == pending[k].line.size() &&
                   samePictureWithinNoise(crop, frame(pending[j].line));
        });
        if (same == toRead.end()) {
            inkOf[k] = OcrEngine::inkBox(crop);
            same = std::find_if(toRead.begin(), toRead.end(), [&](std::size_t j) {
                if (inkOf[k].empty() || inkOf[j].size() != inkOf[k].size())
                    return false;
                const cv::Point offset = inkOf[k].tl() - inkOf[j].tl();
                const cv::Mat read = frame(pending[j].line);
                return IncrementalRecognizer::samePictureMoved(crop, read, offset) &&
                       OcrEngine::readAtOneScale(read, crop, offset);
            });
            if (same != toRead.end())
                inkOffsetFor[k] = inkOf[k].tl() - inkOf[*same].tl();
        }
        readFor[k] = same == toRead.end() ? k : *same;
        if (same == toRead.end())
            toRead.push_back(k);
    }
    std::vector<cv::Rect> pendingLines;
    for (const std::size_t k : toRead)
        pendingLines.push_back(pending[k].line);
    // Widest first: the threads take the next line as they finish, so the
    // long reads are spread over them and the frame ends on short ones, not
    // with one thread still reading a long line while the others wait. The
    // order stays by width, which keeps each net's shape from line to line.
    const std::vector<std::size_t> order = OcrEngine::byScaledWidth(frame, pendingLines);
    parallelFor(toRead.size(), options_.threads, stop, [&](std::size_t n) {
        Pending& p = pending[toRead[order[order.size() - 1 - n]]];
        p.reading = engine_->readLinePixels(frame(p.line));
    });
    statistics_.linesRead += static_cast<std::int64_t>(toRead.size());
    statistics_.linesReused += static_cast<std::int64_t>(pending.size() - toRead.size());
    statistics_.linesMatched += static_cast<std::int64_t>(pending.size() - toRead.size());
    for (std::size_t k = 0; k < pending.size(); ++k) {
        Pending& p = pending[k];
        const bool readHere = readFor[k] == k;
        std::optional<OcrEngine::LineReading> reading = pending[readFor[k]].reading;
        if (reading && inkOffsetFor[k])
            reading = OcrEngine::movedReading(*reading, frame(pending[readFor[k]].line), frame(p.line),
                                              *inkOffsetFor[k]);
        for (std::size_t user : p.users)
            readings[user] = reading;
        cache_.insert(p.key, reading, readHere ? frame(p.line) : cv::Mat());
    }
    return readings;
}

std::vector<DetectedRegion> IncrementalRecognizer::recognize(const Image& raster, const Image& frame,
                                                             const ScanSettings& settings, const FrameContext& context,
                                                             std::stop_token stop)
{
    const StageProfile::Scope planning(ScanStage::changePlanning);
    if (stop.stop_requested())
        throw OperationCancelled();
    if (raster.empty())
        return {};
    const cv::Mat& source = frame.empty() ? raster.pixels : frame.pixels;
    const cv::Rect sourceRect({}, source.size());

    struct Line {
        cv::Rect box;
        std::optional<OcrEngine::LineReading> reading;
        // Kept through a zoom by its look: the reading was made on other
        // pixels.
        bool keptByLook = false;
    };
    std::vector<Line> lines;
    std::vector<cv::Rect> toRead;
    std::optional<Plan> planned = plan(raster, source, context, stop);
    const std::optional<double> scaleChange = scaleChangePixels(previous_.context, context, source.size());
    // The picture is taken as scaled by the motion when the scale changed by
    // a pixel or more across the frame, or by less while most lines changed
    // in place: a zoom starting or slowing down, where registration cannot
    // tell a fraction of a pixel from its own noise. Lines kept by look in a
    // picture that holds still are read afresh instead.
    const bool zooming =
        scaleChange && (*scaleChange >= 1 || (planned && planned->wholeFrame && planned->linesMostlyChanged));
    std::optional<ZoomPlan> zoomed;
    if (planned && planned->wholeFrame && zooming && predictedZoomFrames_ < kMostPredictedZoomFrames) {
        std::vector<std::size_t> keptByPlan = planned->carried;
        keptByPlan.insert(keptByPlan.end(), planned->still.begin(), planned->still.end());
        for (const Plan::Patch& patch : planned->patched)
            keptByPlan.push_back(patch.line);
        zoomed = planZoom(raster, source, context, keptByPlan, stop);
    }
    predictedZoomFrames_ = zoomed ? predictedZoomFrames_ + 1 : 0;
    if (planned && !planned->wholeFrame) {
        toRead = planned->fresh;
        ++statistics_.bandDetections;
    } else if (zoomed) {
        toRead = zoomed->fresh;
        ++statistics_.zoomFramesPredicted;
    } else {
        // One network call over the whole frame: OpenCV spreads its layers
        // over its own threads.
        toRead = engine_->findLines(raster, source.size());
        ++statistics_.wholeFrameDetections;
    }
    std::vector<Plan::Patch> patches;
    if (planned) {
        // Unchanged lines keep their detection and reading, and lines
        // changed in their middle have just that read again, unless a line
        // found now takes them in with more (text typed next to them).
        std::vector<cv::Rect> kept;
        for (const std::size_t i : planned->carried)
            kept.push_back(previous_.lines[i] + planned->shift);
        for (const std::size_t i : planned->still)
            kept.push_back(previous_.lines[i]);
        for (const Plan::Patch& patch : planned->patched)
            kept.push_back(previous_.lines[patch.line] + planned->shift);
        std::erase_if(toRead, [&](const cv::Rect& line) { return mostlyCarried(line, kept); });
        const auto superseded = [&](const cv::Rect& keptLine) {
            return std::any_of(toRead.begin(), toRead.end(), [&](const cv::Rect& line) {
                return (line & keptLine).area() >= kSupersededShare * keptLine.area();
            });
        };
        std::vector<std::size_t> carried;
        for (const std::size_t i : planned->carried) {
            const cv::Rect moved = previous_.lines[i] + planned->shift;
            if (!superseded(moved)) {
                carried.push_back(i);
                lines.push_back({moved, previous_.readings[i]});
            }
        }
        std::vector<std::size_t> still;
        for (const std::size_t i : planned->still) {
            if (!superseded(previous_.lines[i])) {
                still.push_back(i);
                lines.push_back({previous_.lines[i], previous_.readings[i]});
            }
        }
        for (const Plan::Patch& patch : planned->patched)
            if (!superseded(previous_.lines[patch.line] + planned->shift))
                patches.push_back(patch);
        planned->carried = std::move(carried);
        planned->still = std::move(still);
        planned->patched = patches;
        statistics_.linesCarried += static_cast<std::int64_t>(lines.size());
        statistics_.linesReused += static_cast<std::int64_t>(lines.size());
    }
    // During a zoom, lines found afresh over the whole frame that are a
    // previous line scaled and moved by the motion, with the same look, keep
    // that line's reading (until the picture holds still again).
    std::vector<cv::Rect> resampled;
    if (zoomed) {
        // Previous lines carried by the zoom with their look, unless a line
        // found now takes them in with more.
        const auto superseded = [&](const cv::Rect& keptLine) {
            return std::any_of(toRead.begin(), toRead.end(), [&](const cv::Rect& line) {
                return (line & keptLine).area() >= kSupersededShare * keptLine.area();
            });
        };
        for (const ZoomPlan::Kept& line : zoomed->kept)
            if (!superseded(line.box)) {
                lines.push_back({line.box, line.reading ? line.reading : previous_.readings[line.line], true});
                resampled.push_back(line.box);
            }
        statistics_.linesResampled += static_cast<std::int64_t>(resampled.size());
        statistics_.linesReused += static_cast<std::int64_t>(resampled.size());
    } else if ((!planned || planned->wholeFrame) && zooming && previous_.reference.size() == source.size()) {
        const MotionTransform step = context.motion->composed(previous_.context.motion->inverted());
        const double w = source.cols;
        const double h = source.rows;
        std::vector<cv::Rect> predicted(previous_.lines.size());
        for (std::size_t j = 0; j < previous_.lines.size(); ++j) {
            const cv::Rect& p = previous_.lines[j];
            const NormalizedRect moved = step.applying(NormalizedRect{p.x / w, p.y / h, p.width / w, p.height / h});
            predicted[j] = cv::Rect(static_cast<int>(std::lround(moved.x * w)), static_cast<int>(std::lround(moved.y * h)),
                                    static_cast<int>(std::lround(moved.width * w)),
                                    static_cast<int>(std::lround(moved.height * h)));
        }
        std::erase_if(toRead, [&](const cv::Rect& line) {
            std::size_t best = previous_.lines.size();
            double bestOverlap = 0;
            for (std::size_t j = 0; j < predicted.size(); ++j) {
                if (!previous_.readings[j])
                    continue;
                const double union_ = (line | predicted[j]).area();
                const double overlap = union_ > 0 ? (line & predicted[j]).area() / union_ : 0;
                if (overlap > bestOverlap) {
                    bestOverlap = overlap;
                    best = j;
                }
            }
            if (best == previous_.lines.size() || bestOverlap < kResampledOverlap)
                return false;
            if (!keepsItsLook(source, previous_.reference, previous_.lines[best], predicted[best]))
                return false;
            // The reading goes on the line as detected here: its box is
            // what detection makes of the text in this frame, where the
            // scaled box is off by the rounding of its size.
            lines.push_back({line, previous_.readings[best], true});
            resampled.push_back(line);
            return true;
        });
        statistics_.linesResampled += static_cast<std::int64_t>(resampled.size());
        statistics_.linesReused += static_cast<std::int64_t>(resampled.size());
    }
    for (cv::Rect& line : toRead)
        line &= sourceRect;
    std::erase_if(toRead, [](const cv::Rect& line) { return line.empty(); });
    const std::size_t freshCount = toRead.size();
    for (const Plan::Patch& patch : patches)
        toRead.push_back(patch.piece);
    // A line found now that is made of what shows of previous lines (a
    // sheet's cell cut by its frozen column, a line scrolled partly out of
    // the frame) takes their characters instead of being read.
    Composer compose;
    if (planned && !zooming && !zoomed)
        compose = [&](const cv::Rect& line) {
            return composedReading(source, previous_.reference, previous_.lines, previous_.readings,
                                   previous_.keptByLook, line, planned->shift);
        };
    auto readings = read(source, toRead, stop, freshCount, compose);
    for (std::size_t i = 0; i < freshCount; ++i)
        lines.push_back({toRead[i], std::move(readings[i])});
    // Patched lines: the old reading with the stretch read now; a line whose
    // readings cannot be joined is read whole.
    std::vector<cv::Rect> wholeAgain;
    for (std::size_t k = 0; k < patches.size(); ++k) {
        const cv::Rect moved = previous_.lines[patches[k].line] + planned->shift;
        if (auto joined = spliced(*previous_.readings[patches[k].line], moved, readings[freshCount + k],
                                  patches[k].piece)) {
            lines.push_back({moved, std::move(joined)});
            ++statistics_.linesPatched;
        } else {
            wholeAgain.push_back(moved);
        }
    }
    toRead.resize(freshCount);
    if (!wholeAgain.empty()) {
        auto wholeReadings = read(source, wholeAgain, stop);
        for (std::size_t i = 0; i < wholeAgain.size(); ++i) {
            lines.push_back({wholeAgain[i], std::move(wholeReadings[i])});
            toRead.push_back(wholeAgain[i]);
        }
    }
    sortInReadingOrder(lines, [](const Line& line) -> const cv::Rect& { return line.box; });

    std::vector<cv::Rect> boxes;
    boxes.reserve(lines.size());
    for (const Line& line : lines)
        if (line.reading)
            boxes.push_back(line.box);
    std::vector<OcrLine> observed;
    observed.reserve(lines.size());
    for (const Line& line : lines)
        if (line.reading)
            observed.push_back(OcrEngine::placeLine(*line.reading, line.box, source, boxes));
    std::vector<const TextObservation*> observations;
    observations.reserve(observed.size());
    for (const OcrLine& line : observed)
        observations.push_back(&line);
    std::vector<DetectedRegion> regions =
        TextRecognizer::regions(observations, static_cast<double>(raster.width()) / raster.height(), settings);

    // The pixels the next frame is compared with: those each kept line was
    // found and read on, those just read where lines were read, and
    // elsewhere the reference's own pixels where they were taken as unchanged
    // (so that small changes cannot add up unnoticed) or the new frame's.
    cv::Mat reference = source; // a new picture: shared, not copied
    if (planned) {
        // Areas taken from the old reference (moved by the shift) or from
        // the new frame, in order: a later one stands over an earlier one.
        struct Area {
            cv::Rect rect;
            bool old;
            cv::Point shift;
        };
        std::vector<Area> areas;
        // A kept line: its old pixels and the margins at its ends, which
        // were found unchanged. Above and below it the new pixels stand
        // where they changed: kept old, a change there (a pointer passing,
        // or the noise of a key frame) would be found again in every later
        // frame and have that area detected over and over.
        for (const std::size_t i : planned->carried)
            areas.push_back({withEndMargins(previous_.lines[i] + planned->shift) & sourceRect, true, planned->shift});
        for (const std::size_t i : planned->still)
            areas.push_back({withEndMargins(previous_.lines[i]) & sourceRect, true, {}});
        // A patched line: its old pixels, but for the stretch read now.
        for (const Plan::Patch& patch : planned->patched) {
            areas.push_back(
                {withEndMargins(previous_.lines[patch.line] + planned->shift) & sourceRect, true, planned->shift});
            areas.push_back({patch.piece, false, {}});
        }
        for (const cv::Rect& line : toRead)
            areas.push_back({surroundingsOf(line, source.size()), false, {}});
        for (const cv::Rect& line : resampled)
            areas.push_back({surroundingsOf(line, source.size()), false, {}});

        // The old pixels of an area, where the old reference reaches (a
        // line kept at the edge of what a scroll brought in has its margin
        // partly outside it): (source of the copy, where it goes).
        const cv::Rect oldRect({}, previous_.reference.size());
        const auto oldPart = [&](const cv::Rect& area, cv::Point shift) {
            const cv::Rect from = (area - shift) & oldRect;
            return std::pair{from, from + shift};
        };
        const TileMap& unchanged = planned->unchanged;
        if (planned->shift == cv::Point() && previous_.ownsReference && previous_.reference.size() == source.size() &&
            previous_.reference.type() == source.type()) {
            // Nothing moved: the old reference, which no one else holds,
            // is written over where the frame changed (usually a small part
            // of it) instead of copying all of both. The old pixels the
            // areas want are set aside first.
            std::vector<cv::Mat> oldPixels;
            for (const Area& area : areas)
                oldPixels.push_back(area.old ? previous_.reference(oldPart(area.rect, area.shift).first).clone()
                                             : cv::Mat());
            reference = previous_.reference;
            for (int r = 0; r < unchanged.rows(); ++r)
                for (int c = 0; c < unchanged.columns(); ++c)
                    if (!unchanged.at(c, r))
                        source(unchanged.tile(c, r)).copyTo(reference(unchanged.tile(c, r)));
            for (std::size_t k = 0; k < areas.size(); ++k) {
                if (!areas[k].old)
                    source(areas[k].rect).copyTo(reference(areas[k].rect));
                else if (!oldPixels[k].empty())
                    oldPixels[k].copyTo(reference(oldPart(areas[k].rect, areas[k].shift).second));
            }
        } else {
            reference = source.clone();
            const auto keepOld = [&](const cv::Rect& area, cv::Point shift) {
                const auto [from, to] = oldPart(area, shift);
                if (!from.empty())
                    previous_.reference(from).copyTo(reference(to));
            };
            for (int r = 0; r < unchanged.rows(); ++r)
                for (int c = 0; c < unchanged.columns(); ++c)
                    if (unchanged.at(c, r))
                        keepOld(unchanged.tile(c, r),
                                unchanged.at(c, r) == kStillTile ? cv::Point() : planned->shift);
            for (const Area& area : areas) {
                if (area.old)
                    keepOld(area.rect, area.shift);
                else
                    source(area.rect).copyTo(reference(area.rect));
            }
        }
    }
    Previous next{std::move(reference), raster.pixels.size(), {}, {}, {}, context, planned.has_value()};
    next.lines.reserve(lines.size());
    next.readings.reserve(lines.size());
    next.keptByLook.reserve(lines.size());
    for (Line& line : lines) {
        next.lines.push_back(line.box);
        next.readings.push_back(std::move(line.reading));
        next.keptByLook.push_back(line.keptByLook);
    }
    previous_ = std::move(next);
    cache_.nextFrame();
    ++statistics_.frames;
    if (stop.stop_requested())
        throw OperationCancelled();
    return regions;
}

} // namespace scrivel

#pragma once

// The incremental recognizer's own pieces, shared by its source files:
// the thresholds it works by, the tile and change maps it compares frames
// with, and the helpers one part of it calls in another. Included by the
// recognizer's sources only.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "recognition/IncrementalRecognizer.hpp"
#include "recognition/LineReadingCache.hpp"
#include "recognition/OcrEngine.hpp"

namespace scrivel {

namespace incremental {

// Change is measured on tiles of this many frame pixels.
constexpr int kTile = 32;
// The mark of a tile unchanged in its old place while the picture moved.
constexpr std::uint8_t kStillTile = 2;
// The largest difference of a pixel's channel still taken as the same
// picture. Video coding leaves a few levels of noise on static and scrolled
// screen content (up to about 10 in steady state, more just after a key
// frame), so frames of a still screen are rarely byte-identical; text drawn,
// removed or recoloured changes pixels by far more (even pale grey on white
// differs by 50). Frames are compared with the pixels the kept detections and
// readings came from, not with the previous frame, so that a slow fade adds
// up and is noticed.
constexpr int kNoiseTolerance = 24;
// A fast scroll, and the first frames after a key frame, leave coding noise
// of up to about 64 levels, scattered: single pixels along glyph edges,
// never more than five in any 5 x 5 square. Text drawn or removed moves
// whole strokes. So a pixel beyond kNoiseTolerance counts as changed only
// with at least kLeastChangedNeighbours such pixels in its 5 x 5 square, or
// alone when it moved by more than kLoneChangeLevels (a full stop typed into
// an address is a few pixels, but dark on light).
constexpr int kNeighbourhood = 5;
constexpr int kLeastChangedNeighbours = 6;
constexpr int kLoneChangeLevels = 96;
// A line keeps its previous detection only when its pixels and this many
// pixels all round are unchanged: the detector looks beyond a line's box,
// and typing next to a line changes its box.
constexpr int kCarryMarginPixels = 8;
// Raster pixels of context detected all round a changed area, for the same
// reason.
constexpr int kWindowMargin = 48;
// Window sides are rounded up to multiples of this many raster pixels: few
// enough sizes that a frame's windows often repeat the last ones' (a net
// given a new size plans its buffers again), small enough that a thin strip
// (a column scrolled into view) is not detected over four times its area.
constexpr int kWindowStep = 64;
// Windows overlapping this much are detected as one.
constexpr double kMergedWindowOverlap = 0.5;
// Above this share of the raster's area in windows, detect the whole frame.
constexpr double kMostWindowShare = 0.6;
// Below this share of unchanged tiles, the frame is taken as new.
constexpr double kLeastUnchangedShare = 0.25;
// A displacement leaving this share of tiles unchanged is not bettered.
constexpr double kAlmostAllUnchangedShare = 0.9;
// A long line changed only in its middle (a pointer passing over it, a
// counter ticking) has just the changed words read again: the stretch
// between the blank gaps around the change. Lines narrower than this many
// line heights are read whole.
constexpr double kLeastPatchedLineHeights = 8;
// A patch spans at most this share of its line, around a change at most
// this many line heights wide (a pointer, a word): a larger change (a popup
// over the line) has the line read whole.
constexpr double kMostPatchedShare = 0.6;
constexpr double kMostChangedHeights = 4;
// A blank gap to cut a line at is at least this share of the line's height
// wide (a word space, or the gap between two letters), and its columns hold
// no pixel this far from the line's background. It must not lie in the
// middle part (this share) of a character the line was read as, so that a
// glyph with a gap of its own (川, 儿) is not cut.
constexpr double kLeastGapHeights = 0.12;
constexpr double kCharacterCoreShare = 0.6;
constexpr int kBlankContrast = 48;
// A fresh detection reaching beyond carried lines (and their margins) by
// less than this many squares of its height is those lines.
constexpr double kLeastNewShare = 0.5;
// A carried line this much inside a fresh detection that is not is part of
// a line that grew (typing next to it): the fresh detection reads it.
constexpr double kSupersededShare = 0.5;

// A displacement whose estimate reaches less than this share of the best
// count measured so far is not measured.
constexpr double kHopelessEstimateShare = 0.5;


// A line whose look is carried through a zoom: its previous crop, scaled
// by the motion since the previous frame, is looked for within this many
// pixels of where the motion puts it.
constexpr int kResampledSlack = 3;
// A line found now stands for the previous line whose scaled box it
// overlaps most, by at least this intersection over union.
constexpr double kResampledOverlap = 0.6;

// Between whole-frame detections of a zoom, a frame's lines are the
// previous ones carried by the motion, kept where they keep their look, and
// whatever the carried picture does not explain is detected in windows. A
// whole-frame detection at least every this many zoom frames puts the boxes
// back on what detection makes of the text.
constexpr int kMostPredictedZoomFrames = 8;

// Top to bottom, and left to right within a row (rows: boxes whose tops lie
// within half the smaller height), as the engine orders its detections.
// `box(item)` gives an item's line.
template <typename T, typename Box>
void sortInReadingOrder(std::vector<T>& items, Box box)
{
    std::sort(items.begin(), items.end(), [&](const T& a, const T& b) {
        const cv::Rect& ra = box(a);
        const cv::Rect& rb = box(b);
        return ra.y != rb.y ? ra.y < rb.y : ra.x < rb.x;
    });
    for (std::size_t i = 1; i < items.size(); ++i) {
        for (std::size_t j = i; j > 0; --j) {
            const cv::Rect& upper = box(items[j - 1]);
            const cv::Rect& lower = box(items[j]);
            const int rowTolerance = std::min(upper.height, lower.height) / 2;
            if (std::abs(lower.y - upper.y) <= rowTolerance && lower.x < upper.x)
                std::swap(items[j - 1], items[j]);
            else
                break;
        }
    }
}

// A line with the margin of pixels that must stay unchanged for its
// detection to stand, inside the frame.
inline cv::Rect surroundingsOf(const cv::Rect& line, cv::Size frame)
{
    return cv::Rect(line.x - kCarryMarginPixels, line.y - kCarryMarginPixels, line.width + 2 * kCarryMarginPixels,
                    line.height + 2 * kCarryMarginPixels) &
           cv::Rect({}, frame);
}

// A line with the margins at its ends (where text typed onto it appears),
// not above or below it.
inline cv::Rect withEndMargins(const cv::Rect& line)
{
    return {line.x - kCarryMarginPixels, line.y, line.width + 2 * kCarryMarginPixels, line.height};
}

// Whether two runs of `count` bytes differ anywhere by more than
// kNoiseTolerance. Stops at the first such byte: a changed frame is told
// from its reference without reading all of either.
inline bool bytesDifferBeyondNoise(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
{
    std::size_t i = 0;
#if CV_SIMD128
    const cv::v_uint8x16 tolerance = cv::v_setall_u8(static_cast<std::uint8_t>(kNoiseTolerance));
    constexpr std::size_t kLanes = cv::v_uint8x16::nlanes;
    for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
        cv::v_uint8x16 beyond = cv::v_absdiff(cv::v_load(a + i), cv::v_load(b + i)) > tolerance;
        beyond |= cv::v_absdiff(cv::v_load(a + i + kLanes), cv::v_load(b + i + kLanes)) > tolerance;
        beyond |= cv::v_absdiff(cv::v_load(a + i + 2 * kLanes), cv::v_load(b + i + 2 * kLanes)) > tolerance;
        beyond |= cv::v_absdiff(cv::v_load(a + i + 3 * kLanes), cv::v_load(b + i + 3 * kLanes)) > tolerance;
        if (cv::v_check_any(beyond))
            return true;
    }
#endif
    for (; i < count; ++i)
        if (std::max(a[i], b[i]) - std::min(a[i], b[i]) > kNoiseTolerance)
            return true;
    return false;
}

// Whether row `y` of two 8-bit images of one size and type differs anywhere
// by more than kNoiseTolerance.
inline bool rowDiffersBeyondNoise(const cv::Mat& a, const cv::Mat& b, int y)
{
    return bytesDifferBeyondNoise(a.ptr<std::uint8_t>(y), b.ptr<std::uint8_t>(y),
                                  static_cast<std::size_t>(a.cols) * a.elemSize());
}

// The frame cut into tiles, each with a mark (unchanged, or to detect).
class TileMap {
public:
    explicit TileMap(cv::Size frame)
        : frame_(frame), columns_((frame.width + kTile - 1) / kTile), rows_((frame.height + kTile - 1) / kTile)
    {
        marks_.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), 0);
    }

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    cv::Rect tile(int column, int row) const
    {
        return cv::Rect(column * kTile, row * kTile, kTile, kTile) & cv::Rect({}, frame_);
    }
    std::uint8_t& at(int column, int row) { return marks_[static_cast<std::size_t>(row) * columns_ + column]; }
    std::uint8_t at(int column, int row) const { return marks_[static_cast<std::size_t>(row) * columns_ + column]; }

private:
    cv::Size frame_;
    int columns_;
    int rows_;
    std::vector<std::uint8_t> marks_;
};

// Where a frame differs from a reference picture moved by a whole-pixel
// shift by more than coding noise. Pixels whose source lies outside the
// reference count as changed.
class ChangeMap {
public:
    // `current` and `reference`: 8-bit images of one type.
    ChangeMap(const cv::Mat& current, const cv::Mat& reference, cv::Point shift)
        : frame_(current.size()), overlap_(cv::Rect({}, current.size()) & (cv::Rect({}, reference.size()) + shift))
    {
        if (overlap_.empty())
            return;
        const cv::Mat now = current(overlap_);
        const cv::Mat before = reference(overlap_ - shift);
        changed_ = cv::Mat::zeros(overlap_.size(), CV_8U);
        // Most of a frame is usually unchanged: only the rows with a channel
        // beyond the noise, and the rows their neighbourhood reaches, can
        // hold a changed pixel. Bands of such rows are worked out alone; the
        // rows outside them have nothing beyond the noise, which is what the
        // neighbourhood's zero border assumes.
        const int reach = kNeighbourhood / 2;
        int bandStart = -1;
        int bandEnd = -1; // one past the band's last row
        for (int y = 0; y < overlap_.height; ++y) {
            if (!rowDiffersBeyondNoise(now, before, y))
                continue;
            const int start = std::max(0, y - reach);
            if (bandStart >= 0 && start > bandEnd) {
                markBand(now, before, bandStart, bandEnd);
                bandStart = -1;
            }
            if (bandStart < 0)
                bandStart = start;
            bandEnd = std::min(overlap_.height, y + reach + 1);
        }
        if (bandStart >= 0)
            markBand(now, before, bandStart, bandEnd);
    }

    // Whether every pixel of `area` (frame pixels) is unchanged.
    bool unchanged(const cv::Rect& area) const
    {
        if (area.empty() || (area & overlap_) != area)
            return false;
        return cv::countNonZero(changed_(area - overlap_.tl())) == 0;
    }

    // The first and last frame columns of `area` holding a changed pixel;
    // nothing when none does. `area` must lie where the reference reaches.
    std::optional<std::pair<int, int>> changedColumns(const cv::Rect& area) const
    {
        cv::Mat columnMaxima;
        cv::reduce(changed_(area - overlap_.tl()), columnMaxima, 0, cv::REDUCE_MAX);
        int first = -1;
        int last = -1;
        for (int i = 0; i < columnMaxima.cols; ++i)
            if (columnMaxima.at<std::uint8_t>(0, i) != 0) {
                if (first < 0)
                    first = i;
                last = i;
            }
        if (first < 0)
            return std::nullopt;
        return std::pair{area.x + first, area.x + last};
    }

    bool reaches(const cv::Rect& area) const { return (area & overlap_) == area; }

    // The unchanged tiles, and their number in `count`.
    TileMap tiles(int& count) const
    {
        TileMap map(frame_);
        count = 0;
        cv::Mat columnMaxima;
        for (int r = 0; r < map.rows(); ++r) {
            const cv::Rect row = map.tile(0, r) | map.tile(map.columns() - 1, r);
            if ((row & overlap_).height != row.height)
                continue;
            const int first = row.y - overlap_.y;
            const int last = row.br().y - overlap_.y;
            const bool quiet = std::none_of(bands_.begin(), bands_.end(), [&](const std::pair<int, int>& band) {
                return band.first < last && first < band.second;
            });
            if (quiet)
                columnMaxima = cv::Mat::zeros(1, overlap_.width, CV_8U);
            else
                cv::reduce(changed_.rowRange(first, last), columnMaxima, 0, cv::REDUCE_MAX);
            for (int c = 0; c < map.columns(); ++c) {
                const cv::Rect tile = map.tile(c, r);
                if ((tile & overlap_) != tile)
                    continue;
                const cv::Mat pixels = columnMaxima.colRange(tile.x - overlap_.x, tile.br().x - overlap_.x);
                if (cv::countNonZero(pixels) == 0) {
                    map.at(c, r) = 1;
                    ++count;
                }
            }
        }
        return map;
    }

private:
    // Marks the changed pixels of rows [start, end) of the overlap, given
    // that the rows beyond hold no difference beyond the noise.
    void markBand(const cv::Mat& now, const cv::Mat& before, int start, int end)
    {
        bands_.emplace_back(start, end);
        cv::Mat band;
        cv::absdiff(now.rowRange(start, end), before.rowRange(start, end), band);
        // Each pixel's largest channel difference.
        cv::Mat largest;
        if (band.channels() == 1) {
            largest = band;
        } else {
            std::vector<cv::Mat> channels;
            cv::split(band, channels);
            largest = channels[0];
            for (std::size_t c = 1; c < channels.size(); ++c)
                cv::max(largest, channels[c], largest);
        }
        cv::Mat beyondNoise;
        cv::threshold(largest, beyondNoise, kNoiseTolerance, 1, cv::THRESH_BINARY);
        cv::Mat neighbours;
        cv::boxFilter(beyondNoise, neighbours, CV_8U, cv::Size(kNeighbourhood, kNeighbourhood), cv::Point(-1, -1),
                      false, cv::BORDER_CONSTANT);
        cv::Mat clustered;
        cv::threshold(neighbours, clustered, kLeastChangedNeighbours - 1, 255, cv::THRESH_BINARY);
        cv::Mat strayed;
        cv::threshold(beyondNoise, strayed, 0, 255, cv::THRESH_BINARY);
        cv::bitwise_and(clustered, strayed, clustered);
        cv::Mat changed = changed_.rowRange(start, end);
        cv::threshold(largest, changed, kLoneChangeLevels, 255, cv::THRESH_BINARY);
        cv::bitwise_or(changed, clustered, changed);
    }

    cv::Size frame_;
    cv::Rect overlap_; // frame pixels whose source lies in the reference
    cv::Mat changed_;  // overlap_'s pixels: 255 where changed
    // Rows [first, second) of the overlap that may hold changed pixels.
    std::vector<std::pair<int, int>> bands_;
};

// Change detection and displacement estimation (IncrementalChanges.cpp).
bool samePictureWithinNoise(const cv::Mat& a, const cv::Mat& b);
std::optional<double> scaleChangePixels(const IncrementalRecognizer::FrameContext& previous,
                                        const IncrementalRecognizer::FrameContext& current, cv::Size frame);
std::vector<cv::Point> candidateShifts(const IncrementalRecognizer::FrameContext& previous,
                                       const IncrementalRecognizer::FrameContext& current, cv::Size frame);
int estimatedUnchangedTiles(const cv::Mat& frame, const cv::Mat& reference, cv::Point shift);

// Line reuse: readings moved, patched, spliced and composed from the
// previous frame's, and lines kept by their look (IncrementalLineReuse.cpp).
std::optional<LineReadingCache::Entry> movedEntry(const cv::Mat& line, const cv::Mat& read,
                                                  const LineReadingCache::Entry& entry, cv::Point inkOffset);
cv::Mat grey(const cv::Mat& pixels);
std::optional<OcrEngine::LineReading> spliced(const OcrEngine::LineReading& old, const cv::Rect& line,
                                              const std::optional<OcrEngine::LineReading>& patch,
                                              const cv::Rect& piece);
std::optional<OcrEngine::LineReading>
composedReading(const cv::Mat& frame, const cv::Mat& reference, const std::vector<cv::Rect>& lines,
                const std::vector<std::optional<OcrEngine::LineReading>>& readings,
                const std::vector<bool>& keptByLook, const cv::Rect& line, cv::Point shift);
std::optional<cv::Rect> patchOf(const std::optional<OcrEngine::LineReading>& reading, const cv::Rect& moved,
                                const cv::Mat& frame, const cv::Mat& reference, cv::Point shift,
                                const ChangeMap& changes);
std::optional<cv::Rect> keepsItsLook(const cv::Mat& frame, const cv::Mat& reference, const cv::Rect& before,
                                     const cv::Rect& predicted, bool nothingComesIn = false);

// The frame plan (IncrementalFramePlan.cpp).
bool mostlyCarried(const cv::Rect& line, const std::vector<cv::Rect>& carried);

} // namespace incremental

// The recognizer's sources use the pieces above unqualified.
using namespace incremental;

// What changed since the previous frame, and so what to detect and read.
struct IncrementalRecognizer::Plan {
    // The picture's whole-pixel displacement since the previous frame.
    cv::Point shift;
    // Tiles whose pixels are those of the reference: moved by `shift`
    // (marked 1) or in their old place (marked kStillTile).
    TileMap unchanged;
    // Previous lines kept, with their readings (indices).
    std::vector<std::size_t> carried;
    // Previous lines changed only in their middle: the stretch to read again.
    struct Patch {
        std::size_t line;
        cv::Rect piece;
    };
    std::vector<Patch> patched;
    // Lines found again, to be read.
    std::vector<cv::Rect> fresh;
    // Whether the whole frame must be detected again (the carried lines
    // still stand).
    bool wholeFrame = false;
    // Whether most previous lines changed where the shift puts them (the
    // picture is moving in some other way than by whole pixels), rather
    // than holding still.
    bool linesMostlyChanged = false;
    // Previous lines kept in their old place, where the picture moved but
    // they did not.
    std::vector<std::size_t> still;
};

struct IncrementalRecognizer::ZoomPlan {
    struct Kept {
        std::size_t line; // index of the previous line
        cv::Rect box;     // where it is now
        // Its reading placed on `box`, when `box` is only the part of the
        // line still in view; otherwise the previous reading stands.
        std::optional<OcrEngine::LineReading> reading;
    };
    // Previous lines kept by their look.
    std::vector<Kept> kept;
    std::vector<cv::Rect> fresh;
};

} // namespace scrivel

#include "ScrivelMedia/IncrementalRecognizer.hpp"

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
#include "ScrivelMedia/OcrEngine.hpp"
#include "ScrivelMedia/ParallelFor.hpp"
#include "ScrivelMedia/StageProfile.hpp"
#include "ScrivelMedia/TextRecognizer.hpp"

namespace scrivel {

namespace {

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
cv::Rect surroundingsOf(const cv::Rect& line, cv::Size frame)
{
    return cv::Rect(line.x - kCarryMarginPixels, line.y - kCarryMarginPixels, line.width + 2 * kCarryMarginPixels,
                    line.height + 2 * kCarryMarginPixels) &
           cv::Rect({}, frame);
}

// A line with the margins at its ends (where text typed onto it appears),
// not above or below it.
cv::Rect withEndMargins(const cv::Rect& line)
{
    return {line.x - kCarryMarginPixels, line.y, line.width + 2 * kCarryMarginPixels, line.height};
}

// Whether two runs of `count` bytes differ anywhere by more than
// kNoiseTolerance. Stops at the first such byte: a changed frame is told
// from its reference without reading all of either.
bool bytesDifferBeyondNoise(const std::uint8_t* a, const std::uint8_t* b, std::size_t count)
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
bool rowDiffersBeyondNoise(const cv::Mat& a, const cv::Mat& b, int y)
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

// Whether two crops of one size and type are the same picture but for
// coding noise, by the rule frames are compared by.
bool samePictureWithinNoise(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    double largest = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    if (largest > kLoneChangeLevels)
        return false;
    if (largest <= kNoiseTolerance)
        return true;
    return ChangeMap(a, b, {0, 0}).unchanged(cv::Rect({}, a.size()));
}

// Each channel's median over a 3-channel crop: the colour of its background.
cv::Vec3b medianColour(const cv::Mat& crop)
{
    std::array<std::array<int, 256>, 3> counts{};
    for (int y = 0; y < crop.rows; ++y) {
        const auto* pixel = crop.ptr<cv::Vec3b>(y);
        for (int x = 0; x < crop.cols; ++x)
            for (int c = 0; c < 3; ++c)
                ++counts[c][pixel[x][c]];
    }
    cv::Vec3b median;
    const int half = static_cast<int>(crop.total() / 2);
    for (int c = 0; c < 3; ++c) {
        int seen = 0, level = 0;
        while ((seen += counts[c][level]) <= half)
            ++level;
        median[c] = static_cast<std::uint8_t>(level);
    }
    return median;
}

// Whether every pixel of `crop` outside `inside` lies within the noise of
// `background`.
bool plainOutside(const cv::Mat& crop, cv::Rect inside, cv::Vec3b background)
{
    for (int y = 0; y < crop.rows; ++y) {
        const auto* pixel = crop.ptr<cv::Vec3b>(y);
        const bool rowInside = y >= inside.y && y < inside.br().y;
        for (int x = 0; x < crop.cols; ++x) {
            if (rowInside && x == inside.x) {
                x = inside.br().x - 1;
                continue;
            }
            for (int c = 0; c < 3; ++c)
                if (std::abs(pixel[x][c] - background[c]) > kNoiseTolerance)
                    return false;
        }
    }
    return true;
}

// The reading of `line` taken from that of `read` when it shows the same
// picture moved by `inkOffset`; none when it does not, or when the two would
// not be read at one scale.
std::optional<LineReadingCache::Entry> movedEntry(const cv::Mat& line, const cv::Mat& read,
                                                  const LineReadingCache::Entry& entry, cv::Point inkOffset)
{
    if (!IncrementalRecognizer::samePictureMoved(line, read, inkOffset))
        return std::nullopt;
    if (!entry)
        return std::optional<LineReadingCache::Entry>(std::in_place); // read as nothing there too
    auto reading = OcrEngine::movedReading(*entry, read, line, inkOffset);
    if (!reading)
        return std::nullopt;
    return std::optional<LineReadingCache::Entry>(std::in_place, std::move(*reading));
}

// How far the picture's scale changed between two frames, in pixels across
// the frame; nothing when either lacks a motion or they lie in different
// scenes.
std::optional<double> scaleChangePixels(const IncrementalRecognizer::FrameContext& previous,
                                        const IncrementalRecognizer::FrameContext& current, cv::Size frame)
{
    if (!previous.motion || !current.motion || previous.sceneID != current.sceneID)
        return std::nullopt;
    return std::abs(current.motion->scale() / previous.motion->scale() - 1) * std::max(frame.width, frame.height);
}

// Whole-pixel displacements worth trying, likeliest first: the
// registration's motion since the previous frame when that motion is a pure
// shift (scale changing by less than a pixel across the frame), none, and
// the motion with a pixel of slack.
std::vector<cv::Point> candidateShifts(const IncrementalRecognizer::FrameContext& previous,
                                       const IncrementalRecognizer::FrameContext& current, cv::Size frame)
{
    std::vector<cv::Point> shifts{{0, 0}};
    const std::optional<double> scaleChange = scaleChangePixels(previous, current, frame);
    if (!scaleChange || !(*scaleChange < 1))
        return shifts;
    const MotionTransform& a = *previous.motion;
    const MotionTransform& b = *current.motion;
    // Where the frame's centre in the previous frame has gone.
    const double px = (0.5 - a.tx()) / a.scale() * b.scale() + b.tx();
    const double py = (0.5 - a.ty()) / a.scale() * b.scale() + b.ty();
    const double dx = (px - 0.5) * frame.width;
    const double dy = (py - 0.5) * frame.height;
    if (!std::isfinite(dx) || !std::isfinite(dy) || std::abs(dx) >= frame.width || std::abs(dy) >= frame.height)
        return shifts;
    const cv::Point centre(static_cast<int>(std::lround(dx)), static_cast<int>(std::lround(dy)));
    if (centre != cv::Point(0, 0))
        shifts.insert(shifts.begin(), centre);
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x)
            if (cv::Point shift = centre + cv::Point(x, y); shift != cv::Point(0, 0) && shift != centre)
                shifts.push_back(shift);
    return shifts;
}

// Rows of each tile sampled by estimatedUnchangedTiles().
constexpr std::array<int, 4> kSampledTileRows{kTile / 8, 3 * kTile / 8, 5 * kTile / 8, 7 * kTile / 8};
// A displacement whose estimate reaches less than this share of the best
// count measured so far is not measured.
constexpr double kHopelessEstimateShare = 0.5;

// How many tiles a ChangeMap of `frame` against `reference` moved by `shift`
// would find unchanged, estimated from four rows of each tile, a quarter of
// a tile apart (text a few rows high slips between two): a tile counts when
// no sampled row has a channel beyond the noise. Coding noise can make a
// sampled row differ where the map, which looks at neighbourhoods, finds no
// change, so this undercounts on noisy frames; a change between the sampled
// rows makes it overcount.
int estimatedUnchangedTiles(const cv::Mat& frame, const cv::Mat& reference, cv::Point shift)
{
    const cv::Rect overlap = cv::Rect({}, frame.size()) & (cv::Rect({}, reference.size()) + shift);
    const auto pixelBytes = static_cast<std::size_t>(frame.elemSize());
    int count = 0;
    for (int y0 = 0; y0 + kTile <= frame.rows; y0 += kTile) {
        if (y0 < overlap.y || y0 + kTile > overlap.br().y)
            continue;
        for (int x0 = 0; x0 + kTile <= frame.cols; x0 += kTile) {
            if (x0 < overlap.x || x0 + kTile > overlap.br().x)
                continue;
            const bool unchanged = std::none_of(kSampledTileRows.begin(), kSampledTileRows.end(), [&](int row) {
                const int y = y0 + row;
                return bytesDifferBeyondNoise(frame.ptr<std::uint8_t>(y) + x0 * pixelBytes,
                                              reference.ptr<std::uint8_t>(y - shift.y) + (x0 - shift.x) * pixelBytes,
                                              kTile * pixelBytes);
            });
            count += unchanged ? 1 : 0;
        }
    }
    return count;
}

// Whether `line` is made of carried lines: nothing of it lies outside them
// and their margins but a sliver narrower than half a character (so a line
// that grew, by as little as a typed character, is not). Only carried lines
// on the line's own row count: in a dense table the margins of the rows
// above and below together reach over a short cell between them.
bool mostlyCarried(const cv::Rect& line, const std::vector<cv::Rect>& carried)
{
    if (line.empty())
        return true;
    cv::Mat covered(line.size(), CV_8U, cv::Scalar(0));
    for (const cv::Rect& kept : carried) {
        const int shared = std::min(kept.br().y, line.br().y) - std::max(kept.y, line.y);
        if (2 * shared < std::min(kept.height, line.height))
            continue;
        const cv::Rect grown(kept.x - kCarryMarginPixels, kept.y - kCarryMarginPixels,
                             kept.width + 2 * kCarryMarginPixels, kept.height + 2 * kCarryMarginPixels);
        const cv::Rect overlap = grown & line;
        if (!overlap.empty())
            covered(overlap - line.tl()).setTo(255);
    }
    const int outside = line.area() - cv::countNonZero(covered);
    return outside <= kLeastNewShare * line.height * line.height;
}

double overlapOfSmaller(const cv::Rect& a, const cv::Rect& b)
{
    const double smaller = std::min(a.area(), b.area());
    return smaller > 0 ? (a & b).area() / smaller : 0.0;
}

// A raster area `area` grown to a multiple of kWindowStep inside `raster`.
cv::Rect quantized(cv::Rect area, cv::Size raster)
{
    auto size = [](int length, int full, int step) {
        const int rounded = (length + step - 1) / step * step;
        return rounded >= full - step / 2 ? full : rounded;
    };
    const int width = size(area.width, raster.width, kWindowStep);
    const int height = size(area.height, raster.height, kWindowStep);
    const int x = std::clamp(area.x - (width - area.width) / 2, 0, raster.width - width);
    const int y = std::clamp(area.y - (height - area.height) / 2, 0, raster.height - height);
    return {x, y, width, height};
}

cv::Mat grey(const cv::Mat& pixels)
{
    if (pixels.channels() == 1)
        return pixels;
    cv::Mat out;
    cv::cvtColor(pixels, out, pixels.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    return out;
}

// How far each column of `area` (each row, with `dimension` 1) strays from
// the area's background (its median grey), at most.
cv::Mat columnInk(const cv::Mat& pixels, int dimension = 0)
{
    const cv::Mat grey = scrivel::grey(pixels);
    std::vector<std::uint8_t> values(grey.begin<std::uint8_t>(), grey.end<std::uint8_t>());
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    cv::Mat ink;
    cv::absdiff(grey, cv::Scalar(values[values.size() / 2]), ink);
    cv::Mat maxima;
    cv::reduce(ink, maxima, dimension, cv::REDUCE_MAX);
    return maxima;
}

// The middle of the blank gap nearest `from` in `direction` (-1: leftwards,
// +1: rightwards) within `line`, in frame columns, where `acceptable`;
// nothing when there is none. Blank: in `frame` and in `reference` (the
// pixels the line was read on, moved by `shift`), no pixel of the column
// differs from the line's background by more than kBlankContrast.
template <typename Acceptable>
std::optional<int> blankGap(const cv::Mat& frame, const cv::Mat& reference, cv::Point shift, const cv::Rect& line,
                            int from, int direction, Acceptable acceptable)
{
    cv::Mat ink = columnInk(frame(line));
    cv::max(ink, columnInk(reference(line - shift)), ink);
    const int least = std::max(3, static_cast<int>(std::ceil(kLeastGapHeights * line.height)));
    int run = 0;
    for (int x = from - line.x; x >= 0 && x < line.width; x += direction) {
        if (ink.at<std::uint8_t>(0, x) <= kBlankContrast) {
            const int middle = line.x + x - direction * (least / 2);
            if (++run >= least && acceptable(middle))
                return middle;
        } else {
            run = 0;
        }
    }
    return std::nullopt;
}

// The reading of `line` with the stretch `piece` read again as `patch`:
// the old reading's characters outside the stretch (by their centres), the
// patch's inside it, in the old reading's columns. Nothing when the old
// reading's characters do not match its text.
std::optional<OcrEngine::LineReading> spliced(const OcrEngine::LineReading& old, const cv::Rect& line,
                                              const std::optional<OcrEngine::LineReading>& patch,
                                              const cv::Rect& piece)
{
    const std::vector<unicode::Cluster> oldClusters = unicode::graphemeClusters(old.reading.string);
    if (oldClusters.size() != old.characters.size())
        return std::nullopt;
    const double oldScale = static_cast<double>(line.width) / old.scaledWidth; // frame pixels per column
    const auto oldX = [&](double column) { return line.x + column * oldScale; };
    const auto toColumn = [&](double x) { return (x - line.x) / oldScale; };

    OcrEngine::LineReading result;
    result.scaledWidth = old.scaledWidth;
    double confidence = 0;
    std::size_t count = 0;
    const auto takeOld = [&](bool before) {
        for (std::size_t i = 0; i < oldClusters.size(); ++i) {
            const double centre = oldX((old.characters[i].left + old.characters[i].right) / 2);
            if (before ? centre < piece.x : centre >= piece.br().x) {
                result.reading.string += oldClusters[i].text;
                result.characters.push_back(old.characters[i]);
                confidence += old.reading.confidence;
                ++count;
            }
        }
    };
    takeOld(true);
    if (patch) {
        const std::vector<unicode::Cluster> patchClusters = unicode::graphemeClusters(patch->reading.string);
        if (patchClusters.size() != patch->characters.size())
            return std::nullopt;
        const double patchScale = static_cast<double>(piece.width) / patch->scaledWidth;
        for (std::size_t i = 0; i < patchClusters.size(); ++i) {
            const auto& c = patch->characters[i];
            result.reading.string += patchClusters[i].text;
            result.characters.push_back({toColumn(piece.x + c.left * patchScale),
                                         toColumn(piece.x + c.right * patchScale), c.whitespace});
            confidence += patch->reading.confidence;
            ++count;
        }
    }
    takeOld(false);
    if (count == 0)
        return std::nullopt;
    result.reading.confidence = static_cast<float>(confidence / static_cast<double>(count));
    return result;
}

// A line made of what shows of previous lines takes their boxes' rows to
// within a sixth of its height, or this many pixels.
constexpr int kComposedSlackPixels = 2;

// The reading of `line` (inside `frame`) made of what shows of the previous
// frame's lines on its row (`lines`, read as `readings` on `reference`; not
// those `keptByLook`), when the picture moved by `shift` and every inked
// column of the line shows old pixels, in place or moved: a sheet's cell
// cut by its frozen column, found joined to the row number beside it, or a
// line scrolled partly out of the frame. It takes their characters whose
// middles lie in it, in its own columns, with a space between two lines'
// words, and the characters beyond the frame's edge of a line it reaches
// there, so that what shows of an address is masked as the address.
// Nothing when a column is not explained so, characters of two lines stand
// in one place or take turns, or no character shows.
std::optional<OcrEngine::LineReading>
composedReading(const cv::Mat& frame, const cv::Mat& reference, const std::vector<cv::Rect>& lines,
                const std::vector<std::optional<OcrEngine::LineReading>>& readings,
                const std::vector<bool>& keptByLook, const cv::Rect& line, cv::Point shift)
{
    const cv::Rect frameRect({}, frame.size());
    if (shift == cv::Point() || reference.size() != frame.size() || reference.type() != frame.type() ||
        frame.type() != CV_8UC3 || line.empty() || (line & frameRect) != line)
        return std::nullopt;
    const int rowSlack = std::max(kComposedSlackPixels, line.height / 6);
    // A previous line counts in place (mode 0) and moved by the shift
    // (mode 1): a frozen column holds still while the sheet moves.
    const std::array<cv::Point, 2> offsets{cv::Point(), shift};
    struct Source {
        std::size_t line;
        std::size_t mode;
        cv::Rect box;
        std::vector<unicode::Cluster> clusters;
    };
    std::vector<Source> sources;
    for (std::size_t j = 0; j < lines.size(); ++j) {
        if (!readings[j] || keptByLook[j])
            continue;
        std::optional<std::vector<unicode::Cluster>> clusters; // worked out once, for either mode
        for (std::size_t mode = 0; mode < offsets.size(); ++mode) {
            const cv::Rect box = lines[j] + offsets[mode];
            if (std::abs(box.y - line.y) > rowSlack || std::abs(box.br().y - line.br().y) > rowSlack ||
                box.br().x <= line.x || box.x >= line.br().x)
                continue;
            if (!clusters) {
                clusters = unicode::graphemeClusters(readings[j]->reading.string);
                if (clusters->size() != readings[j]->characters.size() || readings[j]->scaledWidth <= 0)
                    return std::nullopt;
            }
            sources.push_back({j, mode, box, *clusters});
        }
    }
    if (sources.empty())
        return std::nullopt;

    // Per column of the line (its rows): blank, and showing the old pixels
    // in place or moved by the shift.
    const cv::Mat ink = columnInk(frame(line));
    // (Changed as between frames: scattered noise along glyph edges is not
    // a change.)
    const auto oldColumns = [&](cv::Point offset) {
        std::vector<bool> old(static_cast<std::size_t>(line.width), false);
        const cv::Rect before = (line - offset) & frameRect;
        if (before.empty())
            return old;
        const cv::Rect now = before + offset;
        const ChangeMap changes(frame(now), reference(before), {0, 0});
        for (int x = 0; x < now.width; ++x)
            old[static_cast<std::size_t>(now.x - line.x + x)] = changes.unchanged({x, 0, 1, now.height});
        return old;
    };
    const std::array<std::vector<bool>, 2> old{oldColumns(offsets[0]), oldColumns(offsets[1])};
    const auto oldAt = [&](std::size_t mode, int x) { return old[mode][static_cast<std::size_t>(x - line.x)]; };
    // Ink outside every previous line (a frozen column's border) was not
    // text in the previous frame, and is not now where it shows the same.
    for (int x = line.x; x < line.br().x; ++x)
        if (ink.at<std::uint8_t>(0, x - line.x) > kBlankContrast && !oldAt(0, x) && !oldAt(1, x))
            return std::nullopt;

    // The characters whose middles lie in the line, over old pixels of
    // their source (or blank ones).
    struct Placed {
        double left;
        double right;
        std::string text;
        bool whitespace;
        std::size_t source;
    };
    // Character `i` of a source, in frame columns: left, right, middle.
    const auto spanOf = [&](const Source& source, std::size_t i) {
        const OcrEngine::LineReading& reading = *readings[source.line];
        const double scale = static_cast<double>(source.box.width) / reading.scaledWidth;
        const auto& c = reading.characters[i];
        const double left = source.box.x + c.left * scale;
        const double right = source.box.x + c.right * scale;
        return std::array<double, 3>{left, right, (left + right) / 2};
    };
    std::vector<Placed> placed;
    std::vector<std::size_t> placedPerSource(sources.size(), 0);
    for (std::size_t k = 0; k < sources.size(); ++k) {
        const Source& source = sources[k];
        for (std::size_t i = 0; i < source.clusters.size(); ++i) {
            const auto& c = readings[source.line]->characters[i];
            const auto [left, right, middle] = spanOf(source, i);
            if (middle < line.x || middle >= line.br().x)
                continue;
            // Its middle shows its old pixels, and the rest of it in the
            // line shows them, or blank, or (a character's) what hides it.
            const int from = std::max(line.x, static_cast<int>(std::floor(left)));
            const int to = std::min(line.br().x, static_cast<int>(std::ceil(right)));
            bool shows = oldAt(source.mode, static_cast<int>(middle));
            for (int x = from; x < to && shows; ++x)
                shows = oldAt(source.mode, x) || (!c.whitespace && oldAt(1 - source.mode, x)) ||
                        ink.at<std::uint8_t>(0, x - line.x) <= kBlankContrast;
            if (!shows)
                continue;
            placed.push_back({left, right, source.clusters[i].text, c.whitespace, k});
            if (!c.whitespace)
                ++placedPerSource[k];
        }
    }
    // Beyond the frame's edge, the characters of a line that shows up to it.
    for (std::size_t k = 0; k < sources.size(); ++k) {
        const Source& source = sources[k];
        const bool atLeftEdge = source.box.x < 0 && line.x <= kComposedSlackPixels;
        const bool atRightEdge = source.box.br().x > frame.cols && line.br().x >= frame.cols - kComposedSlackPixels;
        if (placedPerSource[k] == 0 || (!atLeftEdge && !atRightEdge))
            continue;
        for (std::size_t i = 0; i < source.clusters.size(); ++i) {
            const auto [left, right, middle] = spanOf(source, i);
            if ((atLeftEdge && middle < line.x) || (atRightEdge && middle >= line.br().x))
                placed.push_back(
                    {left, right, source.clusters[i].text, readings[source.line]->characters[i].whitespace, k});
        }
    }
    std::sort(placed.begin(), placed.end(),
              [](const Placed& a, const Placed& b) { return a.left + a.right < b.left + b.right; });
    // One character found through two sources (a line in place and moved,
    // where both show the same pixels) is kept once; two characters in one
    // place leave the line in doubt.
    std::vector<Placed> characters;
    for (Placed& p : placed) {
        if (p.whitespace) {
            characters.push_back(std::move(p));
            continue;
        }
        auto overlapping = std::find_if(characters.begin(), characters.end(), [&](const Placed& q) {
            const double overlap = std::min(p.right, q.right) - std::max(p.left, q.left);
            return !q.whitespace && overlap > 0.5 * std::min(p.right - p.left, q.right - q.left);
        });
        if (overlapping == characters.end())
            characters.push_back(std::move(p));
        else if (overlapping->text != p.text)
            return std::nullopt;
    }
    // Each line's characters stand together: two lines' characters taking
    // turns leave the line in doubt. A line keeps its own spaces between its
    // characters; two lines' characters have one space between them.
    std::vector<const Placed*> letters;
    for (const Placed& p : characters)
        if (!p.whitespace)
            letters.push_back(&p);
    if (letters.empty())
        return std::nullopt;
    std::vector<bool> seen(sources.size(), false);
    for (std::size_t i = 0; i < letters.size(); ++i) {
        if (i > 0 && letters[i]->source != letters[i - 1]->source && seen[letters[i]->source])
            return std::nullopt;
        seen[letters[i]->source] = true;
    }
    std::vector<Placed> spaced;
    std::size_t nextLetter = 0;
    for (const Placed& p : characters) {
        const Placed* last = spaced.empty() ? nullptr : &spaced.back();
        if (p.whitespace) {
            if (last && !last->whitespace && last->source == p.source && nextLetter < letters.size() &&
                letters[nextLetter]->source == p.source)
                spaced.push_back(p);
            continue;
        }
        if (last && !last->whitespace && last->source != p.source)
            spaced.push_back({last->right, std::max(last->right, p.left), " ", true, p.source});
        spaced.push_back(p);
        ++nextLetter;
    }
    // A line cut at an end of this one: its first character that shows
    // reaches that end, as a read of the cut glyphs would (a sliver of the
    // one under a frozen column is masked with it).
    if (sources[spaced.front().source].box.x < line.x - kComposedSlackPixels)
        spaced.front().left = std::min<double>(spaced.front().left, line.x);
    if (sources[spaced.back().source].box.br().x > line.br().x + kComposedSlackPixels)
        spaced.back().right = std::max<double>(spaced.back().right, line.br().x);

    // In the columns of the source most of the line's characters came from.
    const std::size_t main = static_cast<std::size_t>(
        std::max_element(placedPerSource.begin(), placedPerSource.end()) - placedPerSource.begin());
    const double pixelsPerColumn =
        static_cast<double>(sources[main].box.width) / readings[sources[main].line]->scaledWidth;
    OcrEngine::LineReading result;
    result.scaledWidth = std::max(1, static_cast<int>(std::lround(line.width / pixelsPerColumn)));
    const double columnWidth = static_cast<double>(line.width) / result.scaledWidth;
    double confidence = 0;
    int counted = 0;
    for (const Placed& p : spaced) {
        result.reading.string += p.text;
        result.characters.push_back({(p.left - line.x) / columnWidth, (p.right - line.x) / columnWidth, p.whitespace});
        if (!p.whitespace) {
            confidence += readings[sources[p.source].line]->reading.confidence;
            ++counted;
        }
    }
    result.reading.confidence = static_cast<float>(confidence / counted);
    return result;
}

// The stretch of a previous line (read as `reading`, now at `moved`) to
// read again when only its middle changed; nothing when it must be read
// whole.
std::optional<cv::Rect> patchOf(const std::optional<OcrEngine::LineReading>& reading, const cv::Rect& moved,
                                const cv::Mat& frame, const cv::Mat& reference, cv::Point shift,
                                const ChangeMap& changes)
{
    // The line with the margins at its ends: a change there (text typed
    // onto the line) leaves no blank gap beyond it, and has the line read
    // whole.
    const cv::Rect alongside = withEndMargins(moved);
    if (!reading || moved.width < kLeastPatchedLineHeights * moved.height || !changes.reaches(alongside))
        return std::nullopt;
    const auto span = changes.changedColumns(alongside);
    if (!span)
        return std::nullopt;
    // Cuts between the characters the line was read as.
    const double scale = static_cast<double>(moved.width) / reading->scaledWidth;
    const auto betweenCharacters = [&](int x) {
        return std::none_of(reading->characters.begin(), reading->characters.end(), [&](const auto& c) {
            const double centre = moved.x + (c.left + c.right) / 2 * scale;
            const double halfCore = (c.right - c.left) / 2 * scale * kCharacterCoreShare;
            return !c.whitespace && std::abs(x - centre) < halfCore;
        });
    };
    if (span->second - span->first + 1 > kMostChangedHeights * moved.height)
        return std::nullopt;
    const auto left = blankGap(frame, reference, shift, moved, span->first - kCarryMarginPixels, -1, betweenCharacters);
    const auto right =
        blankGap(frame, reference, shift, moved, span->second + kCarryMarginPixels, +1, betweenCharacters);
    if (!left || !right)
        return std::nullopt;
    const cv::Rect piece(*left, moved.y, *right - *left, moved.height);
    if (piece.width <= 0 || piece.width > kMostPatchedShare * moved.width)
        return std::nullopt;
    return piece;
}


// A line whose look is carried through a zoom: its previous crop, scaled
// by the motion since the previous frame, is looked for within this many
// pixels of where the motion puts it.
constexpr int kResampledSlack = 3;
// A line found now stands for the previous line whose scaled box it
// overlaps most, by at least this intersection over union.
constexpr double kResampledOverlap = 0.6;
// It is the same line when the whole crop correlates this well and every
// inked stretch of a line height correlates at least kResampledBlock (a
// character typed, removed or changed breaks its stretch).
constexpr double kResampledWhole = 0.9;
constexpr double kResampledBlock = 0.8;
// Both crops are compared softened by a Gaussian of this many pixels: the
// scaled crop is resampled (soft) where the new frame's text is drawn afresh
// (sharp) and off by a fraction of a pixel, which alone took the whole
// correlation of unchanged lines down to 0.75-0.9. A character is many
// pixels wide and stays what it is.
constexpr double kResampledSoftening = 1.0;
// A stretch this flat is blank: it must then stay blank, its brightness
// moving by at most kBlankShift.
constexpr double kBlankDeviation = 6;
constexpr double kBlankShift = 16;

double correlation(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat result;
    cv::matchTemplate(a, b, result, cv::TM_CCOEFF_NORMED);
    return result.at<float>(0, 0);
}

// Whether `line` (pixels of `picture`) was cut by the picture's edge: ink
// in the picture's first or last column or row beside it. A detection box
// stops a pixel or a few short of a glyph cut at the edge.
bool cutByEdge(const cv::Mat& picture, const cv::Rect& line)
{
    const cv::Rect bounds({}, picture.size());
    const int reach = std::max(2, line.height / 4);
    // Whether the outermost column (of `area`, or row when `alongRows`) at
    // the `first` or last end holds ink.
    const auto inkAtEdge = [&](const cv::Rect& area, bool alongRows, bool first) {
        const cv::Rect inside = area & bounds;
        if (inside.empty())
            return false;
        const cv::Mat ink = columnInk(picture(inside), alongRows ? 1 : 0);
        return ink.at<std::uint8_t>(first ? 0 : static_cast<int>(ink.total()) - 1) > kBlankContrast;
    };
    return (line.x <= reach && inkAtEdge(line | cv::Rect(0, line.y, 1, line.height), false, true)) ||
           (line.br().x >= picture.cols - reach &&
            inkAtEdge(line | cv::Rect(picture.cols - 1, line.y, 1, line.height), false, false)) ||
           (line.y <= reach && inkAtEdge(line | cv::Rect(line.x, 0, line.width, 1), true, true)) ||
           (line.br().y >= picture.rows - reach &&
            inkAtEdge(line | cv::Rect(line.x, picture.rows - 1, line.width, 1), true, false));
}

// Where the previous line `before` (pixels of `reference`), scaled and
// moved to `predicted` by the motion, is found looking as before in `frame`,
// within kResampledSlack pixels of that place; nothing when it is not. A
// line the previous frame's edge cut is read again, unless `nothingComesIn`
// (a zoom in): zooming out brings in what lay beyond the edge, and the
// reading of what showed before (the end of a word, half an address) would
// stand for the whole line.
std::optional<cv::Rect> keepsItsLook(const cv::Mat& frame, const cv::Mat& reference, const cv::Rect& before,
                                     const cv::Rect& predicted, bool nothingComesIn = false)
{
    const cv::Rect frameRect({}, frame.size());
    if (predicted.width < 8 || predicted.height < 6 || (before & cv::Rect({}, reference.size())) != before ||
        (!nothingComesIn && cutByEdge(reference, before)))
        return std::nullopt;
    const cv::Rect search =
        cv::Rect(predicted.x - kResampledSlack, predicted.y - kResampledSlack, predicted.width + 2 * kResampledSlack,
                 predicted.height + 2 * kResampledSlack) &
        frameRect;
    if (search.width < predicted.width || search.height < predicted.height)
        return std::nullopt;
    cv::Mat look;
    cv::resize(grey(reference(before)), look, predicted.size(), 0, 0,
               predicted.area() < before.area() ? cv::INTER_AREA : cv::INTER_LINEAR);
    const cv::Mat area = grey(frame(search));
    cv::Mat softLook, softArea;
    cv::GaussianBlur(look, softLook, {}, kResampledSoftening, kResampledSoftening, cv::BORDER_REPLICATE);
    cv::GaussianBlur(area, softArea, {}, kResampledSoftening, kResampledSoftening, cv::BORDER_REPLICATE);
    cv::Mat result;
    cv::matchTemplate(softArea, softLook, result, cv::TM_CCOEFF_NORMED);
    double best = 0;
    cv::Point at;
    cv::minMaxLoc(result, nullptr, &best, nullptr, &at);
    if (!(best >= kResampledWhole))
        return std::nullopt;
    const cv::Rect found(at, predicted.size());
    const cv::Mat now = area(found);
    const cv::Mat softNow = softArea(found);
    const int stretch = std::max(predicted.height, 8);
    for (int x = 0; x < look.cols; x += stretch) {
        const cv::Rect block(x, 0, std::min(stretch, look.cols - x), look.rows);
        if (block.width < 4)
            break;
        cv::Scalar mean, deviation, nowMean, nowDeviation;
        cv::meanStdDev(look(block), mean, deviation);
        cv::meanStdDev(now(block), nowMean, nowDeviation);
        if (deviation[0] < kBlankDeviation || nowDeviation[0] < kBlankDeviation) {
            if (std::max(deviation[0], nowDeviation[0]) >= kBlankDeviation || std::abs(mean[0] - nowMean[0]) > kBlankShift)
                return std::nullopt;
            continue;
        }
        if (!(correlation(softNow(block), softLook(block)) >= kResampledBlock))
            return std::nullopt;
    }
    return found + search.tl();
}

// Between whole-frame detections of a zoom, a frame's lines are the
// previous ones carried by the motion, kept where they keep their look, and
// whatever the carried picture does not explain is detected in windows. A
// whole-frame detection at least every this many zoom frames puts the boxes
// back on what detection makes of the text.
constexpr int kMostPredictedZoomFrames = 8;
// The frame and the previous picture carried by the motion are compared as
// means of squares of this many pixels: resampling (the carried picture is
// soft where the new one is drawn afresh, and off by a fraction of a pixel)
// moves such a mean by a few levels, a word drawn or removed by far more.
constexpr int kZoomCompareSquare = 4;
constexpr int kZoomInkLevels = 40;
// How far, each way, the carried picture may be off where it is compared.
constexpr int kZoomSlackPixels = 1;

// Where the pixel motion `scale`, `offset` (x -> x * scale + offset) puts
// `rect`.
cv::Rect2d carriedBy(const cv::Rect2d& rect, double scale, cv::Point2d offset)
{
    return {rect.x * scale + offset.x, rect.y * scale + offset.y, rect.width * scale, rect.height * scale};
}

cv::Rect rounded(const cv::Rect2d& rect)
{
    return {static_cast<int>(std::lround(rect.x)), static_cast<int>(std::lround(rect.y)),
            static_cast<int>(std::lround(rect.width)), static_cast<int>(std::lround(rect.height))};
}

// Tiles of `frame` showing what `reference` carried by the pixel motion
// does not explain: where the mean of a kZoomCompareSquare square is off by
// more than kZoomInkLevels. Nothing when the carried reference leaves part
// of the frame uncovered: what a zoom out or a scroll brings in at the sides
// may show only a sliver of a line, which a thin window along the side found
// less surely than the whole frame's detection (a line's first pixel rows
// went unmasked).
std::optional<std::vector<cv::Rect>> unexplainedTiles(const cv::Mat& frame, const cv::Mat& reference, double scale,
                                                      cv::Point2d offset)
{
    const cv::Rect2d carriedRect = carriedBy(cv::Rect2d(0, 0, reference.cols, reference.rows), scale, offset);
    if (carriedRect.x > 0 || carriedRect.y > 0 || carriedRect.br().x < frame.cols || carriedRect.br().y < frame.rows)
        return std::nullopt;
    const cv::Mat motion = (cv::Mat_<double>(2, 3) << scale, 0, offset.x, 0, scale, offset.y);
    cv::Mat carried;
    cv::warpAffine(grey(reference), carried, motion, frame.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const cv::Size reduced(std::max(1, frame.cols / kZoomCompareSquare), std::max(1, frame.rows / kZoomCompareSquare));
    cv::Mat now;
    cv::resize(grey(frame), now, reduced, 0, 0, cv::INTER_AREA);
    // The least difference over the carried picture moved by up to
    // kZoomSlackPixels each way: the motion is good to a pixel or so, and
    // an edge off by one moves a square's mean by tens of levels.
    cv::Mat difference(reduced, CV_8U, cv::Scalar(255));
    cv::Mat bordered, before, shiftedDifference;
    cv::copyMakeBorder(carried, bordered, kZoomSlackPixels, kZoomSlackPixels, kZoomSlackPixels, kZoomSlackPixels,
                       cv::BORDER_REPLICATE);
    for (int dy = 0; dy <= 2 * kZoomSlackPixels; ++dy)
        for (int dx = 0; dx <= 2 * kZoomSlackPixels; ++dx) {
            cv::resize(bordered(cv::Rect({dx, dy}, carried.size())), before, reduced, 0, 0, cv::INTER_AREA);
            cv::absdiff(now, before, shiftedDifference);
            cv::min(difference, shiftedDifference, difference);
        }
    const double rx = static_cast<double>(reduced.width) / frame.cols;
    const double ry = static_cast<double>(reduced.height) / frame.rows;
    TileMap tiles(frame.size());
    std::vector<cv::Rect> unexplained;
    for (int r = 0; r < tiles.rows(); ++r)
        for (int c = 0; c < tiles.columns(); ++c) {
            const cv::Rect tile = tiles.tile(c, r);
            const cv::Rect small =
                cv::Rect(cv::Point(static_cast<int>(tile.x * rx), static_cast<int>(tile.y * ry)),
                         cv::Point(static_cast<int>(std::ceil(tile.br().x * rx)),
                                   static_cast<int>(std::ceil(tile.br().y * ry)))) &
                cv::Rect({}, reduced);
            double largest = 0;
            if (!small.empty())
                cv::minMaxLoc(difference(small), nullptr, &largest);
            if (largest > kZoomInkLevels)
                unexplained.push_back(tile);
        }
    return unexplained;
}

// Whether `line`, found in detection window `window` (raster pixels, the
// raster `sx` × `sy` times smaller than the frame), may be cut by one of the
// window's sides inside the raster. The detector may drop the glyph a side
// cuts, so a line ending within a glyph's width (its height) of a side is
// taken as cut.
bool cutByWindow(const cv::Rect& line, const cv::Rect& window, double sx, double sy, cv::Size raster, cv::Size frame)
{
    const int left = static_cast<int>(std::floor(window.x * sx)) + (window.x > 0 ? 1 : -1);
    const int top = static_cast<int>(std::floor(window.y * sy)) + (window.y > 0 ? 1 : -1);
    const int right =
        window.br().x < raster.width ? static_cast<int>(std::ceil(window.br().x * sx)) - 1 : frame.width + 1;
    const int bottom =
        window.br().y < raster.height ? static_cast<int>(std::ceil(window.br().y * sy)) - 1 : frame.height + 1;
    const bool cutAtLeft = window.x > 0 && line.x <= left + line.height;
    const bool cutAtRight = window.br().x < raster.width && line.br().x >= right - line.height;
    return cutAtLeft || cutAtRight || line.y <= top || line.br().y >= bottom;
}

} // namespace

IncrementalRecognizer::IncrementalRecognizer(std::shared_ptr<const OcrEngine> engine, Options options)
    : engine_(std::move(engine)), options_(options)
{
    options_.threads = std::max(1, options_.threads);
}

IncrementalRecognizer::IncrementalRecognizer(Options options) : IncrementalRecognizer(OcrEngine::shared(), options) {}

IncrementalRecognizer::~IncrementalRecognizer() = default;

std::vector<cv::Rect> IncrementalRecognizer::detectionWindows(const std::vector<cv::Rect>& frameAreas, double sx,
                                                             double sy, cv::Size raster)
{
    const cv::Rect rasterRect({}, raster);
    std::vector<cv::Rect> windows;
    for (const cv::Rect& area : frameAreas) {
        const cv::Point topLeft(static_cast<int>(std::floor(area.x / sx)) - kWindowMargin,
                                static_cast<int>(std::floor(area.y / sy)) - kWindowMargin);
        const cv::Point bottomRight(static_cast<int>(std::ceil(area.br().x / sx)) + kWindowMargin,
                                    static_cast<int>(std::ceil(area.br().y / sy)) + kWindowMargin);
        windows.push_back(quantized(cv::Rect(topLeft, bottomRight) & rasterRect, raster));
    }
    // Windows overlapping by much are one; so are two whose joint window
    // costs no more than both: the cells of a sheet's row, each with its
    // context, make one strip, not a row of windows counting their overlaps
    // twice (which on the sheet recording detected the whole frame instead).
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t i = 0; i < windows.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < windows.size() && !merged; ++j)
                if (const cv::Rect joined = quantized(windows[i] | windows[j], raster);
                    overlapOfSmaller(windows[i], windows[j]) > kMergedWindowOverlap ||
                    joined.area() <= windows[i].area() + windows[j].area()) {
                    windows[i] = joined;
                    windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
    }
    return windows;
}

bool IncrementalRecognizer::samePictureMoved(const cv::Mat& line, const cv::Mat& read, cv::Point offset)
{
    if (line.type() != CV_8UC3 || read.type() != CV_8UC3)
        return false;
    // Where they overlap, the rule frames are compared by.
    const cv::Rect overlap = cv::Rect({}, line.size()) & (cv::Rect({}, read.size()) + offset);
    if (overlap.empty() || !samePictureWithinNoise(line(overlap), read(overlap - offset)))
        return false;
    const cv::Vec3b background = medianColour(line(overlap));
    return plainOutside(line, overlap, background) && plainOutside(read, overlap - offset, background);
}

bool IncrementalRecognizer::sameWithinNoise(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size() || a.type() != b.type() || a.depth() != CV_8U)
        return false;
    if (a.data == b.data && a.step == b.step)
        return true;
    for (int y = 0; y < a.rows; ++y)
        if (rowDiffersBeyondNoise(a, b, y))
            return false;
    return true;
}

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

std::optional<IncrementalRecognizer::Plan> IncrementalRecognizer::plan(const Image& raster, const cv::Mat& frame,
                                                                       const FrameContext& context, std::stop_token stop)
{
    const cv::Mat& reference = previous_.reference;
    if (reference.empty() || reference.size() != frame.size() || reference.type() != frame.type() ||
        frame.depth() != CV_8U || previous_.rasterSize != raster.pixels.size())
        return std::nullopt;

    // The displacement that leaves most tiles unchanged; the likeliest one
    // is taken at once when it explains nearly all of the frame.
    std::optional<ChangeMap> changes;
    TileMap unchanged(frame.size());
    int unchangedCount = -1;
    const int tileCount = unchanged.columns() * unchanged.rows();
    cv::Point shift(0, 0);
    for (const cv::Point candidate : candidateShifts(previous_.context, context, frame.size())) {
        // A frame with parts moving apart (a sheet's frozen rows over a
        // scrolling body) leaves every displacement short of explaining
        // nearly all of it; those far behind the best need not be mapped.
        if (unchangedCount > 0 &&
            estimatedUnchangedTiles(frame, reference, candidate) < kHopelessEstimateShare * unchangedCount)
            continue;
        ChangeMap candidateChanges(frame, reference, candidate);
        int count = 0;
        TileMap tiles = candidateChanges.tiles(count);
        if (count > unchangedCount) {
            changes.emplace(std::move(candidateChanges));
            unchanged = std::move(tiles);
            unchangedCount = count;
            shift = candidate;
        }
        if (unchangedCount >= kAlmostAllUnchangedShare * tileCount)
            break;
    }
    // Previous lines whose pixels and surroundings are unchanged keep their
    // detection; the others are detected again, with whatever changed.
    TileMap dirty(frame.size());
    for (int r = 0; r < unchanged.rows(); ++r)
        for (int c = 0; c < unchanged.columns(); ++c)
            if (!unchanged.at(c, r))
                dirty.at(c, r) = 1;
    const cv::Rect frameRect({}, frame.size());
    std::vector<std::size_t> carriedLines;
    std::vector<Plan::Patch> patched;
    std::vector<cv::Rect> carried; // kept lines, patched ones too: detection leaves them be
    std::vector<cv::Rect> redetected;
    std::vector<std::size_t> stale; // neither carried nor patched
    std::size_t changedLines = 0;
    for (std::size_t i = 0; i < previous_.lines.size(); ++i) {
        const cv::Rect moved = previous_.lines[i] + shift;
        const cv::Rect surroundings = surroundingsOf(moved, frame.size());
        // A reading kept through a zoom by its look was not made on these
        // pixels (a character that looks much like another may have
        // changed): once the picture moves by whole pixels again, the line
        // is read afresh.
        if (previous_.keptByLook[i]) {
            stale.push_back(i);
            if (!changes->unchanged(surroundings))
                ++changedLines;
            continue;
        }
        // A line whose own pixels and the margins at its ends are unchanged
        // keeps its reading even when the margin above or below changed (a
        // pointer passing by); a change at its ends may be text typed onto
        // it, and has it read again.
        const cv::Rect alongside = withEndMargins(moved) & frameRect;
        if ((moved & frameRect) == moved &&
            (changes->unchanged(surroundings) ||
             (changes->reaches(alongside) && !changes->changedColumns(alongside)))) {
            carriedLines.push_back(i);
            carried.push_back(moved);
        } else if (auto piece = patchOf(previous_.readings[i], moved, frame, reference, shift, *changes)) {
            patched.push_back({i, *piece});
            carried.push_back(moved);
        } else {
            stale.push_back(i);
            ++changedLines;
        }
    }
    // Parts of the screen that do not move with the picture (a sheet's
    // frozen header and columns, a toolbar over a scrolling page) are found
    // unchanged in their old place: their tiles and lines are kept there.
    std::vector<std::size_t> stillLines;
    std::optional<TileMap> inPlaceTiles; // unchanged in their old place, when the picture moved
    if (shift != cv::Point(0, 0)) {
        const ChangeMap stillChanges(frame, reference, {0, 0});
        int stillCount = 0;
        const TileMap& stillTiles = inPlaceTiles.emplace(stillChanges.tiles(stillCount));
        for (int r = 0; r < unchanged.rows(); ++r)
            for (int c = 0; c < unchanged.columns(); ++c)
                if (!unchanged.at(c, r) && stillTiles.at(c, r)) {
                    unchanged.at(c, r) = kStillTile;
                    dirty.at(c, r) = 0;
                    ++unchangedCount;
                }
        std::erase_if(stale, [&](std::size_t i) {
            const cv::Rect& line = previous_.lines[i];
            if (previous_.keptByLook[i] || (line & frameRect) != line || !stillChanges.unchanged(surroundingsOf(line, frame.size())))
                return false;
            stillLines.push_back(i);
            carried.push_back(line);
            return true;
        });
    }
    // A line that moved with the picture into tiles unchanged in their old
    // place (a row scrolled under a sheet's frozen header or columns) is
    // hidden there: those tiles show what they showed before, and the lines
    // found on them then are kept in place or detected where they changed.
    // (Plain tiles are unchanged both in place and moved.) A line of those
    // tiles that was not kept is detected in its place.
    const auto onStillTiles = [&](const cv::Rect& box) {
        if (!inPlaceTiles || box.empty())
            return false;
        for (int r = box.y / kTile; r <= (box.br().y - 1) / kTile; ++r)
            for (int c = box.x / kTile; c <= (box.br().x - 1) / kTile; ++c)
                if (!inPlaceTiles->at(c, r))
                    return false;
        return true;
    };
    for (const std::size_t i : stale) {
        const cv::Rect moved = (previous_.lines[i] + shift) & frameRect;
        const cv::Rect inPlace = previous_.lines[i] & frameRect;
        if (previous_.keptByLook[i] || !onStillTiles(moved))
            redetected.push_back(moved);
        if (!previous_.keptByLook[i] && onStillTiles(inPlace))
            redetected.push_back(inPlace);
    }
    std::erase_if(redetected, [](const cv::Rect& line) { return line.empty(); });
    Plan result{shift,
                std::move(unchanged),
                std::move(carriedLines),
                std::move(patched),
                {},
                false,
                2 * (changedLines - stillLines.size()) > previous_.lines.size(),
                std::move(stillLines)};
    const auto wholeFrame = [&] {
        result.wholeFrame = true;
        return std::move(result);
    };
    if (unchangedCount < kLeastUnchangedShare * tileCount)
        return wholeFrame();

    // Changed areas: clusters of touching changed tiles, and the lines to
    // detect again.
    cv::Mat tiles(dirty.rows(), dirty.columns(), CV_8U);
    for (int r = 0; r < dirty.rows(); ++r)
        for (int c = 0; c < dirty.columns(); ++c)
            tiles.at<std::uint8_t>(r, c) = dirty.at(c, r) ? 255 : 0;
    cv::Mat labels;
    const int clusters = cv::connectedComponents(tiles, labels, 8, CV_32S);
    std::vector<cv::Rect> changedAreas(static_cast<std::size_t>(std::max(clusters - 1, 0)));
    for (int r = 0; r < dirty.rows(); ++r)
        for (int c = 0; c < dirty.columns(); ++c)
            if (dirty.at(c, r)) {
                cv::Rect& area = changedAreas[static_cast<std::size_t>(labels.at<int>(r, c) - 1)];
                area = area.empty() ? dirty.tile(c, r) : (area | dirty.tile(c, r));
            }
    changedAreas.insert(changedAreas.end(), redetected.begin(), redetected.end());
    const double sx = static_cast<double>(frame.cols) / raster.width();
    const double sy = static_cast<double>(frame.rows) / raster.height();
    auto fresh =
        detectInWindows(raster, frame, detectionWindows(changedAreas, sx, sy, raster.pixels.size()), carried, stop);
    if (!fresh)
        return wholeFrame();
    result.fresh = std::move(*fresh);
    return result;
}

std::optional<std::vector<cv::Rect>> IncrementalRecognizer::detectInWindows(const Image& raster, const cv::Mat& frame,
                                                                           std::vector<cv::Rect> windows,
                                                                           const std::vector<cv::Rect>& kept,
                                                                           std::stop_token stop)
{
    const double sx = static_cast<double>(frame.cols) / raster.width();
    const double sy = static_cast<double>(frame.rows) / raster.height();
    std::vector<cv::Rect> fresh;
    for (int attempt = 0; attempt < 2 && !windows.empty(); ++attempt) {
        double windowArea = 0;
        for (const cv::Rect& window : windows)
            windowArea += window.area();
        if (windowArea > kMostWindowShare * raster.width() * raster.height())
            return std::nullopt;
        std::vector<std::vector<cv::Rect>> found(windows.size());
        // Largest first, as lines are read widest first.
        std::vector<std::size_t> bySize(windows.size());
        std::iota(bySize.begin(), bySize.end(), std::size_t{0});
        std::stable_sort(bySize.begin(), bySize.end(),
                         [&](std::size_t a, std::size_t b) { return windows[a].area() > windows[b].area(); });
        parallelFor(windows.size(), options_.threads, stop, [&](std::size_t n) {
            const std::size_t i = bySize[n];
            found[i] = engine_->findLines(raster, frame.size(), windows[i]);
        });
        // A window's edge inside the raster may cut a line: such a line's
        // window is widened to the whole width and detected again.
        std::vector<cv::Rect> retry;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            for (const cv::Rect& line : found[i]) {
                // Kept lines speak for their place (they are whole, where
                // the window's edge may have cut what was found here).
                if (mostlyCarried(line, kept))
                    continue;
                if (cutByWindow(line, windows[i], sx, sy, raster.pixels.size(), frame.size())) {
                    retry.push_back(cv::Rect(0, line.y, frame.cols, line.height));
                    continue;
                }
                fresh.push_back(line);
            }
        }
        if (retry.empty())
            break;
        if (attempt == 1)
            return std::nullopt;
        windows = detectionWindows(retry, sx, sy, raster.pixels.size());
        for (cv::Rect& window : windows)
            window = quantized(cv::Rect(0, window.y, raster.width(), window.height), raster.pixels.size());
        // Lines already taken from these windows' areas are found again there.
        std::erase_if(fresh, [&](const cv::Rect& line) {
            return std::any_of(windows.begin(), windows.end(), [&](const cv::Rect& w) {
                return (cv::Rect(static_cast<int>(w.x * sx), static_cast<int>(w.y * sy), static_cast<int>(w.width * sx),
                                 static_cast<int>(w.height * sy)) &
                        line) == line;
            });
        });
    }
    // Overlapping windows find a line twice.
    std::sort(fresh.begin(), fresh.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.area() > b.area(); });
    std::vector<cv::Rect> unique;
    for (const cv::Rect& line : fresh)
        if (std::none_of(unique.begin(), unique.end(), [&](const cv::Rect& u) { return u == line; }))
            unique.push_back(line);
    return unique;
}

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

namespace {

// `reading`, made on a crop that a zoom carried to `carried` (frame
// pixels), placed on `box`, the part of it in view: every character keeps
// its place in the frame, and those beyond the frame's edge stay in the
// text with their boxes held at the edge, so that what shows of an address
// is masked as the address.
OcrEngine::LineReading placedOnPart(const OcrEngine::LineReading& reading, const cv::Rect2d& carried,
                                    const cv::Rect& box)
{
    const double columns = reading.scaledWidth;
    const auto moved = [&](double column) {
        return (carried.x - box.x + column * carried.width / columns) * columns / box.width;
    };
    OcrEngine::LineReading placed{reading.reading, {}, reading.scaledWidth};
    placed.characters.reserve(reading.characters.size());
    for (const auto& c : reading.characters)
        placed.characters.push_back({moved(c.left), moved(c.right), c.whitespace});
    return placed;
}

// A zoom in whose carried picture covers the frame brings nothing into view
// from beyond its edges: a line it carries partly beyond them shows part of
// what it showed. Where that part keeps its look, scaled, the line keeps its
// reading on the part (as a scroll keeps a line it takes partly out of the
// frame), instead of being detected and read again in every frame of the
// zoom. `before` (pixels of `reference`) is carried by the pixel motion
// `scale` (above 1), `offset`. Gives where the part in view is found, and
// the reading placed on it.
std::optional<std::pair<cv::Rect, OcrEngine::LineReading>> keptInView(const cv::Mat& frame, const cv::Mat& reference,
                                                                      const cv::Rect& before, double scale,
                                                                      cv::Point2d offset,
                                                                      const OcrEngine::LineReading& reading)
{
    const cv::Rect2d carried = carriedBy(before, scale, offset);
    // The part of `before` that lands inside the frame, in whole pixels.
    const cv::Rect2d inView(-offset.x / scale, -offset.y / scale, frame.cols / scale, frame.rows / scale);
    const cv::Rect2d part = cv::Rect2d(before) & inView;
    const cv::Rect beforePart(cv::Point(static_cast<int>(std::ceil(part.x)), static_cast<int>(std::ceil(part.y))),
                              cv::Point(static_cast<int>(std::floor(part.br().x)),
                                        static_cast<int>(std::floor(part.br().y))));
    const cv::Rect frameRect({}, frame.size());
    const cv::Rect predicted = rounded(carriedBy(beforePart, scale, offset)) & frameRect;
    if (beforePart.empty() || beforePart == before || predicted.empty())
        return std::nullopt;
    const auto found = keepsItsLook(frame, reference, beforePart, predicted, true);
    if (!found)
        return std::nullopt;
    const cv::Point2d drift(found->x - predicted.x, found->y - predicted.y);
    const cv::Rect2d line(carried.x + drift.x, carried.y + drift.y, carried.width, carried.height);
    return std::pair{*found, placedOnPart(reading, line, *found)};
}

} // namespace

std::optional<IncrementalRecognizer::ZoomPlan> IncrementalRecognizer::planZoom(const Image& raster,
                                                                               const cv::Mat& frame,
                                                                               const FrameContext& context,
                                                                               const std::vector<std::size_t>& skipped,
                                                                               std::stop_token stop)
{
    const cv::Mat& reference = previous_.reference;
    if (!context.motion || !previous_.context.motion || reference.size() != frame.size() ||
        reference.type() != frame.type())
        return std::nullopt;
    const MotionTransform step = context.motion->composed(previous_.context.motion->inverted());
    const double scale = step.scale();
    const cv::Point2d offset(step.tx() * frame.cols, step.ty() * frame.rows);
    if (!std::isfinite(scale) || !std::isfinite(offset.x) || !std::isfinite(offset.y) || scale <= 0)
        return std::nullopt;

    ZoomPlan result;
    auto unexplained = unexplainedTiles(frame, reference, scale, offset);
    if (!unexplained)
        return std::nullopt;
    std::vector<cv::Rect> areas = std::move(*unexplained);
    std::vector<bool> keptByPlan(previous_.lines.size(), false);
    for (const std::size_t j : skipped)
        keptByPlan[j] = true;
    const cv::Rect frameRect({}, frame.size());
    for (std::size_t j = 0; j < previous_.lines.size(); ++j) {
        if (keptByPlan[j])
            continue;
        const cv::Rect& before = previous_.lines[j];
        const cv::Rect now = rounded(carriedBy(before, scale, offset));
        // The box goes where the look is found, which keeps it on the text
        // through many frames of rounding and registration error.
        if (const auto found = previous_.readings[j] && (now & frameRect) == now
                                   ? keepsItsLook(frame, reference, before, now)
                                   : std::nullopt)
            result.kept.push_back({j, *found, std::nullopt});
        else if (auto part = scale > 1 && previous_.readings[j] ? keptInView(frame, reference, before, scale, offset,
                                                                              *previous_.readings[j])
                                                                : std::nullopt)
            result.kept.push_back({j, part->first, std::move(part->second)});
        else if (const cv::Rect inside = now & frameRect; !inside.empty())
            areas.push_back(inside);
    }
    if (stop.stop_requested())
        throw OperationCancelled();

    const double sx = static_cast<double>(frame.cols) / raster.width();
    const double sy = static_cast<double>(frame.rows) / raster.height();
    std::vector<cv::Rect> kept;
    for (const ZoomPlan::Kept& line : result.kept)
        kept.push_back(line.box);
    auto fresh = detectInWindows(raster, frame, detectionWindows(areas, sx, sy, raster.pixels.size()), kept, stop);
    if (!fresh)
        return std::nullopt;
    result.fresh = std::move(*fresh);
    return result;
}

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

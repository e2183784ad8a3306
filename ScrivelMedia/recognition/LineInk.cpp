#include "recognition/LineInk.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/imgproc.hpp>

namespace scrivel::ink {

namespace {

// How far ink (non-zero rows of `ink`) goes on out of the row `edge`, by
// steps of `step` rows and no further than row `limit`: the last row its
// strokes reach, touching from row to row, and one more for their soft edge.
// `edge` itself when it holds no ink.
int inkReach(const cv::Mat& ink, int edge, int step, int limit)
{
    const auto goesOn = [&](int from, int to) {
        const uchar* a = ink.ptr<uchar>(from);
        const uchar* b = ink.ptr<uchar>(to);
        for (int x = 0; x < ink.cols; ++x)
            if (b[x] && (a[x] || (x > 0 && a[x - 1]) || (x + 1 < ink.cols && a[x + 1])))
                return true;
        return false;
    };
    if (cv::countNonZero(ink.row(edge)) == 0)
        return edge;
    int row = edge;
    while (row != limit && goesOn(row, row + step))
        row += step;
    return row != limit ? row + step : row;
}

// A run of a line crop's columns that hold ink: those beyond kInkContrast,
// and round them the soft edge of glyphs drawn with anti-aliasing (beyond
// kSoftInkContrast), which the soft edge of the next run may share. A run
// of soft ink alone is its own core. Crop columns, half-open.
struct InkRun {
    int left = 0; // the core
    int right = 0;
    int outerLeft = 0; // with the soft edge
    int outerRight = 0;
};

std::vector<InkRun> inkRunsOf(const std::vector<uchar>& column)
{
    const int width = static_cast<int>(column.size());
    std::vector<InkRun> runs;
    for (int x = 0; x < width;) {
        if (column[x] <= kSoftInkContrast) {
            ++x;
            continue;
        }
        const int softStart = x;
        while (x < width && column[x] > kSoftInkContrast)
            ++x;
        const int softEnd = x;
        const std::size_t first = runs.size();
        for (int c = softStart; c < softEnd;) {
            if (column[c] <= kInkContrast) {
                ++c;
                continue;
            }
            const int start = c;
            while (c < softEnd && column[c] > kInkContrast)
                ++c;
            runs.push_back({start, c, runs.size() > first ? runs.back().right : softStart, softEnd});
            if (runs.size() > first + 1)
                runs[runs.size() - 2].outerRight = start;
        }
        if (runs.size() == first)
            runs.push_back({softStart, softEnd, softStart, softEnd});
    }
    return runs;
}

// Where glyphs that touch in one run of ink part, between the middles
// `from` and `to` (crop columns): the middle of the dip in the columns'
// contrast there, where the two barely meet ("rn", tight or slanted type),
// or nothing when the run has no such dip.
std::optional<double> partingOf(const std::vector<uchar>& column, const InkRun& run, double from, double to,
                                double estimate)
{
    const int first = std::max(run.left, static_cast<int>(std::ceil(from)));
    const int last = std::min(run.right, static_cast<int>(std::floor(to)) + 1);
    if (first >= last)
        return std::nullopt;
    const uchar strongest = *std::max_element(column.begin() + run.left, column.begin() + run.right);
    const auto dips = [&](int x) { return 2 * column[x] < strongest; };
    int least = first;
    for (int x = first; x < last; ++x)
        if (column[x] < column[least] ||
            (column[x] == column[least] && std::abs(x + 0.5 - estimate) < std::abs(least + 0.5 - estimate)))
            least = x;
    if (!dips(least))
        return std::nullopt;
    int start = least, end = least + 1;
    while (start > first && dips(start - 1))
        --start;
    while (end < last && dips(end))
        ++end;
    return (start + end) / 2.0;
}

} // namespace

// The median grey of a line crop, taken for its background.
int backgroundGrey(const cv::Mat& grey)
{
    std::vector<uchar> values(grey.begin<uchar>(), grey.end<uchar>());
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// How far each pixel's grey lies from the crop's background.
cv::Mat inkContrastOf(const cv::Mat& crop)
{
    cv::Mat grey;
    cv::cvtColor(crop, grey, cv::COLOR_BGR2GRAY);
    cv::Mat contrast;
    cv::absdiff(grey, cv::Scalar(backgroundGrey(grey)), contrast);
    return contrast;
}

// The box of a line crop's ink: pixels whose grey differs from the crop's
// median grey by more than kInkContrast. Empty when there is none.
cv::Rect inkBoxOf(const cv::Mat& crop)
{
    return cv::boundingRect(inkContrastOf(crop) > kInkContrast);
}

// The rows of a crop of `size` that hold its ink box, with a margin:
// detection boxes are looser on small text, which would leave the glyphs
// small in the 48-pixel recognition input.
cv::Rect rowsAroundInk(cv::Rect ink, cv::Size size)
{
    if (ink.empty())
        return {0, 0, size.width, size.height};
    const int margin = static_cast<int>(std::lround(kInkMarginHeights * ink.height));
    const int top = std::max(0, ink.y - margin);
    const int bottom = std::min(size.height, ink.y + ink.height + margin);
    return {0, top, size.width, bottom - top};
}

cv::Rect tightenToInk(const cv::Mat& crop)
{
    return rowsAroundInk(inkBoxOf(crop), crop.size());
}

// The box of a line read from `line` in `frame`: larger where the line's ink
// runs on past the box's edges (detection boxes cut the tops of tall glyphs
// and the outer strokes of end ones), by at most kMostInkBeyondBoxHeights.
cv::Rect placedBoxOf(const cv::Mat& frame, cv::Rect line, std::span<const cv::Rect> neighbours)
{
    const int most = std::max(1, static_cast<int>(kMostInkBeyondBoxHeights * line.height));
    const int sideways = std::max(most, static_cast<int>(kMostGlyphsBeyondBoxHeights * line.height));
    const cv::Rect band =
        cv::Rect(line.x - sideways, line.y - most, line.width + 2 * sideways, line.height + 2 * most) &
        cv::Rect(0, 0, frame.cols, frame.rows);
    cv::Mat grey;
    cv::cvtColor(frame(band), grey, cv::COLOR_BGR2GRAY);
    const cv::Rect inBand = line - band.tl();
    cv::Mat ink;
    cv::absdiff(grey, cv::Scalar(backgroundGrey(grey(inBand))), ink);
    ink = ink > kInkContrast;
    const cv::Mat columns = ink.colRange(inBand.x, inBand.br().x);
    const int top = inkReach(columns, inBand.y, -1, 0);
    const int bottom = inkReach(columns, inBand.br().y - 1, +1, ink.rows - 1) + 1;
    const cv::Mat rows = cv::Mat(ink.rowRange(top, bottom).t());
    const int nearLeft = std::max(inBand.x - most, 0);
    const int nearRight = std::min(inBand.br().x - 1 + most, rows.rows - 1);
    // Then the glyphs a detection box ending between two of them left out
    // (the reader then never sees the last one): ink on the line's rows
    // beginning within a glyph gap of an end is taken in, glyph by glyph.
    const int gap = std::max(1, static_cast<int>(kGlyphGapHeights * line.height));
    const auto glyphsBeyond = [&](int edge, int step, int limit) {
        // Gaps are measured from the ink, not from a blank margin of the box.
        int inked = edge;
        for (int k = 0; k < line.width && cv::countNonZero(rows.row(inked)) == 0; ++k) {
            if (inked - step < 0 || inked - step >= rows.rows)
                break;
            inked -= step;
        }
        if (cv::countNonZero(rows.row(inked)) == 0)
            return edge;
        const int reached = edge;
        edge = inked;
        for (;;) {
            int next = edge;
            while (next != limit && std::abs(next - edge) < gap && cv::countNonZero(rows.row(next + step)) == 0)
                next += step;
            if (next == limit || std::abs(next - edge) >= gap)
                return step > 0 ? std::max(edge, reached) : std::min(edge, reached);
            edge = inkReach(rows, next + step, step, limit);
            if (edge == limit)
                return edge;
        }
    };
    const int left = glyphsBeyond(inkReach(rows, inBand.x, -1, nearLeft), -1, 0);
    const int right = glyphsBeyond(inkReach(rows, inBand.br().x - 1, +1, nearRight), +1, rows.rows - 1) + 1;
    cv::Rect grown = cv::Rect(left, top, right - left, bottom - top) + band.tl();
    // Lines set close together touch: the ink running on past an edge may be
    // the next line's, and the box does not grow into another line's box.
    int grownTop = grown.y, grownBottom = grown.br().y, grownLeft = grown.x, grownRight = grown.br().x;
    const cv::Point middle = (line.tl() + line.br()) / 2;
    for (const cv::Rect& other : neighbours) {
        if (other == line)
            continue;
        const cv::Point otherMiddle = (other.tl() + other.br()) / 2;
        if (other.x < line.br().x && other.br().x > line.x) {
            if (otherMiddle.y < middle.y)
                grownTop = std::max(grownTop, std::min(other.br().y, line.y));
            else if (otherMiddle.y > middle.y)
                grownBottom = std::min(grownBottom, std::max(other.y, line.br().y));
        }
        if (other.y < line.br().y && other.br().y > line.y) {
            if (otherMiddle.x < middle.x)
                grownLeft = std::max(grownLeft, std::min(other.br().x, line.x));
            else if (otherMiddle.x > middle.x)
                grownRight = std::min(grownRight, std::max(other.x, line.br().x));
        }
    }
    return cv::Rect(grownLeft, grownTop, grownRight - grownLeft, grownBottom - grownTop);
}

// Moves the ends of the characters' estimated extents onto their ink: the
// estimates often stop a few pixels inside a glyph, and a span's box must
// take in the whole of its end glyphs. A run of ink belongs to the
// characters whose estimated middles its core holds; the first of them
// starts where it starts, the last ends where it ends, and touching glyphs
// part where the ink between them dips (at the estimated cut when it does
// not). A run holding no middle (a glyph's detached stroke, a mark the
// reading left out) goes to the character beside it whose extent it
// overlaps more, or lies nearer when it lies between words. No end passes
// the estimated middle of the next character on its side. Characters
// without ink keep their estimates, less what their neighbours' ink takes;
// white space keeps its own. `contrast` is inkContrastOf() of the rows read,
// a crop column being `columnsPerPixel` columns of the scaled crop.
void fitToInk(std::vector<OcrEngine::LineReading::Columns>& characters, const std::vector<bool>& wordLike,
              const cv::Mat& contrast, double columnsPerPixel)
{
    cv::Mat strongest;
    cv::reduce(contrast, strongest, 0, cv::REDUCE_MAX);
    const std::vector<uchar> column(strongest.begin<uchar>(), strongest.end<uchar>());
    const std::vector<InkRun> runs = inkRunsOf(column);

    std::vector<std::size_t> glyphs; // the characters that are not white space
    for (std::size_t i = 0; i < characters.size(); ++i)
        if (!characters[i].whitespace)
            glyphs.push_back(i);
    const std::size_t n = glyphs.size();
    // Estimated extents in crop columns.
    std::vector<double> estimatedLeft(n), estimatedRight(n), middle(n);
    for (std::size_t g = 0; g < n; ++g) {
        estimatedLeft[g] = characters[glyphs[g]].left / columnsPerPixel;
        estimatedRight[g] = characters[glyphs[g]].right / columnsPerPixel;
        middle[g] = (estimatedLeft[g] + estimatedRight[g]) / 2;
    }

    constexpr double kUnset = std::numeric_limits<double>::infinity();
    std::vector<double> left(n, kUnset), right(n, -kUnset);
    std::size_t next = 0; // the first glyph whose middle is not left of the run
    for (const InkRun& run : runs) {
        while (next < n && middle[next] < run.left)
            ++next;
        std::size_t end = next;
        while (end < n && middle[end] < run.right)
            ++end;
        std::size_t first = end, last = end; // the glyphs starting and ending at the run
        if (end > next) {
            first = next;
            last = end - 1;
            for (std::size_t g = first; g < last; ++g) {
                if (auto parting = partingOf(column, run, middle[g], middle[g + 1], estimatedRight[g])) {
                    right[g] = *parting;
                    left[g + 1] = *parting;
                }
            }
        } else {
            // Between the middles of glyphs next - 1 and next.
            const auto overlap = [&](std::size_t g) {
                return std::min<double>(estimatedRight[g], run.right) - std::max<double>(estimatedLeft[g], run.left);
            };
            const bool hasBefore = next > 0, hasAfter = next < n;
            const double before = hasBefore ? overlap(next - 1) : -kUnset;
            const double after = hasAfter ? overlap(next) : -kUnset;
            if (!(before > 0 || after > 0 || (hasBefore && hasAfter)))
                continue; // beyond the line's ends
            // A run as wide as a glyph is not a stroke of a neighbour but a
            // glyph the reader left out, and that is far more often a letter
            // or an ideograph of the word beside it than punctuation (週 of
            // "：週六" read as "：六"): it goes to the word's character, so
            // that a span ending there takes it in. Otherwise to the one it
            // overlaps more, or the nearer.
            const bool wholeGlyph = run.right - run.left >= kUnreadGlyphWidthShare * contrast.rows;
            const bool wordBefore = hasBefore && wordLike[glyphs[next - 1]];
            const bool wordAfter = hasAfter && wordLike[glyphs[next]];
            if (wholeGlyph && wordBefore != wordAfter && hasBefore && hasAfter)
                first = last = wordBefore ? next - 1 : next;
            else
                first = last = before >= after ? next - 1 : next; // more overlap, or the nearer
        }
        left[first] = std::min<double>(left[first], run.outerLeft);
        right[last] = std::max<double>(right[last], run.outerRight);
    }

    std::vector<double> fittedLeft(n), fittedRight(n);
    for (std::size_t g = 0; g < n; ++g) {
        fittedLeft[g] = left[g] == kUnset ? estimatedLeft[g] : g > 0 ? std::max(left[g], middle[g - 1]) : left[g];
        fittedRight[g] =
            right[g] == -kUnset ? estimatedRight[g] : g + 1 < n ? std::min(right[g], middle[g + 1]) : right[g];
    }
    for (std::size_t g = 0; g < n; ++g) {
        double from = fittedLeft[g], to = fittedRight[g];
        if (g > 0 && left[g] == kUnset)
            from = std::max(from, fittedRight[g - 1]);
        if (g + 1 < n && right[g] == -kUnset)
            to = std::min(to, fittedLeft[g + 1]);
        if (to > from) {
            fittedLeft[g] = from;
            fittedRight[g] = to;
        }
        characters[glyphs[g]].left = fittedLeft[g] * columnsPerPixel;
        characters[glyphs[g]].right = fittedRight[g] * columnsPerPixel;
    }
}

} // namespace scrivel::ink

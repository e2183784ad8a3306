#include "recognition/IncrementalRecognizerParts.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "ScrivelCore/UnicodeText.hpp"
#include "recognition/OcrEngine.hpp"

namespace scrivel {

namespace {

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


// A line made of what shows of previous lines takes their boxes' rows to
// within a sixth of its height, or this many pixels.
constexpr int kComposedSlackPixels = 2;


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
} // namespace

namespace incremental {


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

cv::Mat grey(const cv::Mat& pixels)
{
    if (pixels.channels() == 1)
        return pixels;
    cv::Mat out;
    cv::cvtColor(pixels, out, pixels.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    return out;
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


// Where the previous line `before` (pixels of `reference`), scaled and
// moved to `predicted` by the motion, is found looking as before in `frame`,
// within kResampledSlack pixels of that place; nothing when it is not. A
// line the previous frame's edge cut is read again, unless `nothingComesIn`
// (a zoom in): zooming out brings in what lay beyond the edge, and the
// reading of what showed before (the end of a word, half an address) would
// stand for the whole line.
std::optional<cv::Rect> keepsItsLook(const cv::Mat& frame, const cv::Mat& reference, const cv::Rect& before,
                                     const cv::Rect& predicted, bool nothingComesIn)
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

} // namespace incremental

} // namespace scrivel

#include "recognition/TextObservationFilter.hpp"

#include <algorithm>
#include <cmath>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "ScrivelCore/UnicodeText.hpp"

namespace scrivel::TextObservationFilter {

namespace {

using CharacterRange = TextMatcher::CharacterRange;

constexpr float kConfident = 0.5f;
constexpr double kIconWidthFactor = 1.5;
constexpr double kUncertainHanIconWidthFactor = 1.25;
constexpr double kEdgeMarginLineHeights = 0.25;
constexpr std::size_t kIconHeightSamples = 8;
constexpr double kLoneHanWidthToHeight = 1.25;
constexpr double kNeighbourMinHeightRatio = 0.8;
constexpr double kNeighbourMaxHeightRatio = 1.25;
constexpr double kNeighbourRowTolerance = 0.2;
constexpr double kNeighbourMaxGapHeights = 2;

std::vector<UChar32> codePoints(std::string_view utf8)
{
    std::vector<UChar32> points;
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        points.push_back(c < 0 ? 0xFFFD : c);
    }
    return points;
}

// A letter, a run of decimal digits, or a Han character.
bool isTextCharacter(std::string_view character)
{
    auto points = codePoints(character);
    if (points.empty())
        return false;
    if (u_hasBinaryProperty(points.front(), UCHAR_ALPHABETIC))
        return true;
    if (std::all_of(points.begin(), points.end(), [](UChar32 c) { return u_charType(c) == U_DECIMAL_DIGIT_NUMBER; }))
        return true;
    return TextMatcher::containsHan(character);
}

std::size_t textCharacterCount(std::string_view text)
{
    auto clusters = unicode::graphemeClusters(text);
    return static_cast<std::size_t>(
        std::count_if(clusters.begin(), clusters.end(), [](const auto& c) { return isTextCharacter(c.text); }));
}

bool qualifiesAsNeighbour(const Line& n, const ObservationBox& rect, double aspect)
{
    if (n.confidence < kConfident || textCharacterCount(n.text) < 2)
        return false;
    if (!(rect.height > 0) || !(n.rect.height > 0))
        return false;
    const double ratio = rect.height / n.rect.height;
    if (ratio < kNeighbourMinHeightRatio || ratio > kNeighbourMaxHeightRatio)
        return false;
    const double tallest = std::max(rect.height, n.rect.height);
    if (std::abs(rect.minY() - n.rect.minY()) > kNeighbourRowTolerance * tallest)
        return false;
    const double gap = std::max({rect.minX() - n.rect.maxX(), n.rect.minX() - rect.maxX(), 0.0});
    return gap * aspect <= kNeighbourMaxGapHeights * tallest;
}

} // namespace

std::optional<CharacterRange> acceptedRange(std::string_view text, float confidence, const ObservationBox& rect,
                                            const Neighbors& neighbors, double imageAspectRatio,
                                            const CharacterBox& characterBox)
{
    const double aspect = imageAspectRatio;
    const auto clusters = unicode::graphemeClusters(text);
    const std::size_t end = clusters.size();

    std::vector<std::size_t> textPositions;
    for (std::size_t i = 0; i < end; ++i)
        if (isTextCharacter(clusters[i].text))
            textPositions.push_back(i);
    if (textPositions.empty())
        return std::nullopt;

    const std::size_t first = textPositions.front();
    const bool spaceAfterFirst = first + 1 < end && unicode::isWhiteSpace(clusters[first + 1].text);
    const bool firstIsHan = TextMatcher::containsHan(clusters[first].text);
    const double widthFactor =
        confidence <= kConfident && firstIsHan ? kUncertainHanIconWidthFactor : kIconWidthFactor;
    // Distance to the nearest frame edge, in image heights.
    const double edgeMargin = std::min(std::min(rect.minX(), 1 - rect.maxX()) * aspect,
                                       std::min(rect.minY(), 1 - rect.maxY()));
    const bool clearOfEdge = edgeMargin >= kEdgeMarginLineHeights * rect.height;

    std::size_t start = 0;
    const bool onlySpaceBefore = std::all_of(clusters.begin(), clusters.begin() + static_cast<std::ptrdiff_t>(first),
                                             [](const auto& c) { return unicode::isWhiteSpace(c.text); });
    if (clearOfEdge && textPositions.size() > 2 && onlySpaceBefore && spaceAfterFirst) {
        // A leading icon is often read as a letter: a glyph much wider than
        // the following characters are tall.
        if (auto firstBox = characterBox({first, first + 1})) {
            std::vector<double> heights;
            for (std::size_t k = 1; k < textPositions.size() && k <= kIconHeightSamples; ++k) {
                auto box = characterBox({textPositions[k], textPositions[k] + 1});
                if (box && box->height > 0)
                    heights.push_back(box->height);
            }
            if (!heights.empty()) {
                std::sort(heights.begin(), heights.end());
                const double median = heights[heights.size() / 2];
                if (firstBox->width * aspect > widthFactor * median) {
                    start = first + 1;
                    while (start < end && unicode::isWhiteSpace(clusters[start].text))
                        ++start;
                }
            }
        }
    }

    const auto kept = static_cast<std::size_t>(
        textPositions.end() - std::lower_bound(textPositions.begin(), textPositions.end(), start));
    if (kept == 0)
        return std::nullopt;
    const CharacterRange accepted{start, end};
    if (confidence >= kConfident || kept > 2 || !clearOfEdge)
        return accepted;

    // Uncertain, at most two text characters, clear of the edge.
    const std::size_t lone = textPositions[textPositions.size() - kept];
    if (kept == 1 && TextMatcher::containsHan(clusters[lone].text) &&
        rect.height * kLoneHanWidthToHeight < rect.width * aspect)
        return std::nullopt;
    for (const Line& n : neighbors())
        if (qualifiesAsNeighbour(n, rect, aspect))
            return accepted;
    return std::nullopt;
}

std::optional<CharacterRange> acceptedRange(const RecognizedText& reading, const TextObservation& observation,
                                            std::span<const TextObservation* const> observations,
                                            double imageAspectRatio)
{
    Neighbors neighbors = [&] {
        std::vector<Line> lines;
        for (const TextObservation* other : observations) {
            if (other->identity() == observation.identity())
                continue;
            auto best = other->topCandidate();
            if (best && best->confidence >= kConfident)
                lines.push_back({best->string, best->confidence, other->boundingBox()});
        }
        return lines;
    };
    CharacterBox characterBox = [&](CharacterRange range) -> std::optional<ObservationBox> {
        try {
            return observation.boundingBox(range);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    return acceptedRange(reading.string, reading.confidence, observation.boundingBox(), neighbors, imageAspectRatio,
                         characterBox);
}

} // namespace scrivel::TextObservationFilter

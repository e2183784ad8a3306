#include "recognition/TextRecognizer.hpp"

#include <algorithm>

#include "ScrivelCore/TextMatcher.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "ScrivelCore/WrappedLineMatcher.hpp"
#include "recognition/OcrEngine.hpp"
#include "recognition/TextObservationFilter.hpp"

namespace scrivel {

namespace {

using CharacterRange = TextMatcher::CharacterRange;

constexpr double kDuplicateIoU = 0.65;
constexpr std::uint32_t kWhite = 0xFFFFFF;

// Recogniser box (origin lower left) to the frame's normalised rectangle.
NormalizedRect toFrameRect(const ObservationBox& box)
{
    return NormalizedRect{box.x, 1 - box.maxY(), box.width, box.height}.clamped();
}

std::string slice(const std::string& text, const std::vector<unicode::Cluster>& clusters, CharacterRange range)
{
    const std::size_t begin = range.lower < clusters.size() ? clusters[range.lower].utf8Offset : text.size();
    const std::size_t end = range.upper < clusters.size() ? clusters[range.upper].utf8Offset : text.size();
    return text.substr(begin, end - begin);
}

// Where character `index` (or the end) starts, in UTF-16 units.
std::size_t utf16Offset(const std::vector<unicode::Cluster>& clusters, std::size_t index)
{
    if (index < clusters.size())
        return clusters[index].utf16Offset;
    return clusters.empty() ? 0 : clusters.back().utf16Offset + clusters.back().utf16Length;
}

// The same line read twice (overlapping detections) is kept once, as its
// more confident reading, at the first one's place.
std::vector<DetectedRegion> mergeDuplicates(std::vector<DetectedRegion> regions)
{
    std::vector<DetectedRegion> kept;
    for (auto& region : regions) {
        auto twin = std::find_if(kept.begin(), kept.end(), [&](const DetectedRegion& k) {
            return k.text == region.text && k.rect.iou(region.rect) > kDuplicateIoU;
        });
        if (twin == kept.end())
            kept.push_back(std::move(region));
        else if (region.confidence > twin->confidence)
            *twin = std::move(region);
    }
    return kept;
}

// The end of an ellipsis ("…", "⋯" or three full stops) starting at
// cluster `from`; `from` itself when none does.
std::size_t pastEllipsis(const std::vector<unicode::Cluster>& clusters, std::size_t from)
{
    if (from >= clusters.size())
        return from;
    const std::string& first = clusters[from].text;
    if (first == "\u2026" || first == "\u22EF")
        return from + 1;
    std::size_t stops = 0;
    while (from + stops < clusters.size() && stops < 3
           && (clusters[from + stops].text == "." || clusters[from + stops].text == "\uFF0E"))
        ++stops;
    return stops == 3 ? from + 3 : from;
}

// Where the selection of `match` may extend: up to the boxes of the nearest
// characters on either side that are neither spaces nor part of a match.
struct Limits {
    double left = 0.0;
    double right = 1.0;
};

Limits foreignLimits(const TextObservation& observation, const std::vector<unicode::Cluster>& clusters,
                     const std::vector<TextMatcher::Match>& clipped, CharacterRange match)
{
    auto foreign = [&](std::size_t i) {
        if (unicode::isWhiteSpace(clusters[i].text))
            return false;
        return std::none_of(clipped.begin(), clipped.end(),
                            [&](const TextMatcher::Match& m) { return m.range.lower <= i && i < m.range.upper; });
    };
    Limits limits;
    for (std::size_t i = match.lower; i-- > 0;) {
        if (foreign(i)) {
            if (auto box = observation.boundingBox({i, i + 1}))
                limits.left = box->maxX();
            break;
        }
    }
    for (std::size_t i = match.upper; i < clusters.size(); ++i) {
        if (foreign(i)) {
            if (auto box = observation.boundingBox({i, i + 1}))
                limits.right = box->minX();
            break;
        }
    }
    return limits;
}

} // namespace

TextRecognizer::TextRecognizer() : engine_(OcrEngine::shared()) {}

TextRecognizer::TextRecognizer(std::shared_ptr<const OcrEngine> engine) : engine_(std::move(engine)) {}

std::vector<DetectedRegion> TextRecognizer::recognize(const Image& image, const ScanSettings& settings,
                                                      const Image* fullResolutionFrame) const
{
    if (image.empty())
        return {};
    const std::vector<OcrLine> lines = engine_->recognize(image, fullResolutionFrame);
    std::vector<const TextObservation*> observations;
    observations.reserve(lines.size());
    for (const auto& line : lines)
        observations.push_back(&line);
    const double aspect = static_cast<double>(image.width()) / image.height();
    return regions(observations, aspect, settings);
}

std::vector<DetectedRegion> TextRecognizer::regions(std::span<const TextObservation* const> observations,
                                                    double imageAspectRatio, const ScanSettings& settings)
{
    // Every kept line first: matches may run from one line into the next.
    struct KeptLine {
        const TextObservation* observation;
        RecognizedText reading;
        CharacterRange accepted;
        NormalizedRect region;
        std::vector<unicode::Cluster> clusters;
        std::string acceptedText;
    };
    std::vector<KeptLine> kept;
    for (const TextObservation* observation : observations) {
        auto reading = observation->topCandidate();
        if (!reading || reading->confidence < settings.confidence)
            continue;
        auto accepted = TextObservationFilter::acceptedRange(*reading, *observation, observations, imageAspectRatio);
        if (!accepted)
            continue;
        // A failure here fails the frame; an absent box skips the line.
        auto acceptedBox = observation->boundingBox(*accepted);
        if (!acceptedBox)
            continue;
        const NormalizedRect region = toFrameRect(*acceptedBox);
        if (!(region.area() > 0))
            continue;
        auto clusters = unicode::graphemeClusters(reading->string);
        std::string acceptedText = slice(reading->string, clusters, *accepted);
        kept.push_back({observation, std::move(*reading), *accepted, region, std::move(clusters),
                        std::move(acceptedText)});
    }

    std::vector<WrappedLineMatcher::BlockLine> block;
    block.reserve(kept.size());
    for (const KeptLine& line : kept)
        block.push_back({line.acceptedText, line.region});
    const auto wrapped = WrappedLineMatcher::matches(block, imageAspectRatio, settings);

    std::vector<DetectedRegion> found;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const KeptLine& line = kept[i];
        const TextObservation* observation = line.observation;
        const std::string& text = line.reading.string;
        const auto& clusters = line.clusters;
        const NormalizedRect& region = line.region;
        std::vector<TextMatcher::Match> clipped;
        for (auto match : TextMatcher::matches(text, settings)) {
            match.range.lower = std::max(match.range.lower, line.accepted.lower);
            match.range.upper = std::min(match.range.upper, line.accepted.upper);
            if (match.range.lower < match.range.upper)
                clipped.push_back(match);
        }
        // The block's matches count characters of the accepted part.
        for (const auto& part : wrapped[i]) {
            const CharacterRange range{std::min(part.range.lower + line.accepted.lower, line.accepted.upper),
                                       std::min(part.range.upper + line.accepted.lower, line.accepted.upper)};
            const bool known = std::any_of(clipped.begin(), clipped.end(), [&](const TextMatcher::Match& m) {
                return m.kind == part.kind && m.range == range;
            });
            if (range.lower < range.upper && !known)
                clipped.push_back({range, part.kind, utf16Offset(clusters, range.lower),
                                   utf16Offset(clusters, range.upper) - utf16Offset(clusters, range.lower)});
        }

        // A span running into an ellipsis was cut by its box (a list's
        // preview, a narrow column): the ellipsis stands for more of it.
        std::vector<CharacterRange> textRanges;
        textRanges.reserve(clipped.size());
        for (TextMatcher::Match& match : clipped) {
            textRanges.push_back(match.range);
            match.range.upper = std::min(pastEllipsis(clusters, match.range.upper), line.accepted.upper);
        }

        std::vector<TextSelection> selections;
        for (std::size_t k = 0; k < clipped.size(); ++k) {
            const TextMatcher::Match& match = clipped[k];
            NormalizedRect m;
            Limits limits;
            try {
                auto box = observation->boundingBox(match.range);
                if (!box)
                    continue;
                m = toFrameRect(*box);
                if (!(m.width > 0) || !(m.height > 0))
                    continue;
                limits = foreignLimits(*observation, clusters, clipped, match.range);
            } catch (const std::exception&) {
                continue; // only this selection is lost
            }
            const double start = std::max(m.x, limits.left);
            const double end = std::min(m.maxX(), limits.right);
            if (!(end > start))
                continue;
            selections.push_back(TextSelection{
                NormalizedRect{(start - region.x) / region.width, (m.y - region.y) / region.height,
                               (end - start) / region.width, m.height / region.height},
                match.kind, slice(text, clusters, textRanges[k])});
        }

        found.push_back(DetectedRegion{region, line.reading.confidence, line.acceptedText, std::move(selections), 0,
                                       kWhite});
    }
    return mergeDuplicates(std::move(found));
}

} // namespace scrivel

#include "fuzz/FuzzSupport.hpp"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "ScrivelCore/TextMatcher.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "ScrivelCore/WrappedLineMatcher.hpp"

using namespace scrivel;

namespace {

// The line's newline-separated pieces as a block of lines stacked at one
// left edge, each as wide as its text; every match the block step adds must
// be a well-formed part of its own line.
void checkWrappedLines(const std::string& line, const ScanSettings& settings, double aspect)
{
    std::vector<std::string> texts;
    std::size_t from = 0;
    while (texts.size() < 4) {
        const std::size_t newline = line.find('\n', from);
        texts.push_back(line.substr(from, newline == std::string::npos ? std::string::npos : newline - from));
        if (newline == std::string::npos)
            break;
        from = newline + 1;
    }
    std::vector<WrappedLineMatcher::BlockLine> block;
    std::vector<std::vector<unicode::Cluster>> clusters;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        clusters.push_back(unicode::graphemeClusters(texts[i]));
        const double width = std::min(0.85, 0.01 * static_cast<double>(clusters.back().size()));
        block.push_back({texts[i], NormalizedRect{0.1, 0.1 + 0.05 * static_cast<double>(i), width, 0.04}});
    }
    const auto found = WrappedLineMatcher::matches(block, aspect, settings);
    if (found.size() != block.size())
        fuzz::fail("the block step does not answer once per line");
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (settings.allText && !found[i].empty())
            fuzz::fail("the block step joins lines in all-text mode");
        const std::size_t utf16Size = unicode::toUtf16(texts[i]).size();
        for (const TextMatcher::Match& match : found[i]) {
            if (match.kind == RedactionKind::all || match.kind == RedactionKind::han)
                fuzz::fail("the block step reports a kind it does not join");
            if (match.range.lower >= match.range.upper || match.range.upper > clusters[i].size())
                fuzz::fail("a joined match's part is empty or past the end of its line");
            const std::size_t end = match.range.upper == clusters[i].size()
                                        ? utf16Size
                                        : clusters[i][match.range.upper].utf16Offset;
            if (clusters[i][match.range.lower].utf16Offset != match.utf16Location ||
                end - match.utf16Location != match.utf16Length)
                fuzz::fail("a joined match's UTF-16 span disagrees with its range");
        }
    }
}

} // namespace

// Input: one byte of switches (all text, Han, e-mails, phones, a portrait
// frame for the block step), then the line, then up to four custom terms,
// separated by NUL bytes. The line and terms are arbitrary bytes, invalid
// UTF-8 included; the line's newlines split it into a block of lines.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    ScanSettings settings;
    settings.allText = data[0] & 1;
    settings.blurHan = data[0] & 2;
    settings.blurEmails = data[0] & 4;
    settings.blurPhones = data[0] & 8;
    settings.quality = OCRQuality::balanced;
    settings.confidence = 0.3f;

    std::vector<std::string> parts;
    const std::string rest = fuzz::text(data + 1, size - 1);
    std::size_t from = 0;
    for (;;) {
        const std::size_t zero = rest.find('\0', from);
        parts.push_back(rest.substr(from, zero == std::string::npos ? std::string::npos : zero - from));
        if (zero == std::string::npos || parts.size() == 5)
            break;
        from = zero + 1;
    }
    const std::string& line = parts[0];
    settings.customTerms.assign(parts.begin() + 1, parts.end());
    checkWrappedLines(line, settings, data[0] & 16 ? 9.0 / 16.0 : 16.0 / 9.0);

    const std::vector<TextMatcher::Match> found = TextMatcher::matches(line, settings);
    const std::vector<unicode::Cluster> clusters = unicode::graphemeClusters(line);
    const std::size_t utf16Size = unicode::toUtf16(line).size();

    if (line.empty()) {
        if (!found.empty())
            fuzz::fail("an empty line has matches");
        return 0;
    }
    if (settings.allText) {
        if (found.size() != 1 || found[0].kind != RedactionKind::all || found[0].range.lower != 0 ||
            found[0].range.upper != clusters.size() || found[0].utf16Location != 0 ||
            found[0].utf16Length != utf16Size)
            fuzz::fail("all-text mode does not give one match over the whole line");
        return 0;
    }

    std::set<std::tuple<RedactionKind, std::size_t, std::size_t>> keys;
    std::size_t previousLocation = 0;
    for (const TextMatcher::Match& match : found) {
        if (match.kind == RedactionKind::all)
            fuzz::fail("kind `all` outside all-text mode");
        if (match.range.lower >= match.range.upper || match.range.upper > clusters.size())
            fuzz::fail("a match range is empty or past the end of the line");
        if (clusters[match.range.lower].utf16Offset != match.utf16Location)
            fuzz::fail("a match's UTF-16 location is not its first character's");
        const std::size_t end = match.range.upper == clusters.size()
                                    ? utf16Size
                                    : clusters[match.range.upper].utf16Offset;
        if (end - match.utf16Location != match.utf16Length)
            fuzz::fail("a match's UTF-16 length disagrees with its range");
        if (match.utf16Location < previousLocation)
            fuzz::fail("matches are not sorted by location");
        previousLocation = match.utf16Location;
        if (!keys.emplace(match.kind, match.utf16Location, match.utf16Length).second)
            fuzz::fail("the same span is reported twice for one kind");
        if (match.kind == RedactionKind::han) {
            for (std::size_t c = match.range.lower; c < match.range.upper; ++c)
                if (!TextMatcher::containsHan(clusters[c].text))
                    fuzz::fail("a Han run holds a character that is not Han");
            if ((match.range.lower > 0 && TextMatcher::containsHan(clusters[match.range.lower - 1].text)) ||
                (match.range.upper < clusters.size() && TextMatcher::containsHan(clusters[match.range.upper].text)))
                fuzz::fail("a Han run is not maximal");
        }
    }
    return 0;
}

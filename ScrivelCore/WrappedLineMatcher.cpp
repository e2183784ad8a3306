#include "ScrivelCore/WrappedLineMatcher.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include "ScrivelCore/UnicodeText.hpp"

namespace scrivel::WrappedLineMatcher {

namespace {

using TextMatcher::CharacterRange;
using TextMatcher::Match;

// Where the next line of a block sits, in line heights; horizontal distances
// are taken in frame heights through the aspect ratio.
constexpr double kMinimumHeightRatio = 0.7;
// Top to top: recognised boxes are taller than the text, so those of tightly
// set lines overlap; closer than this they are one row read twice.
constexpr double kMinimumPitch = 0.55;
constexpr double kMaximumLeading = 0.9;
constexpr double kLeftEdgeSlack = 0.6;
// The upper line may start this far right of the block's edge (a bullet, a
// list number) without the lower line reaching under it; farther, the lower
// line is more likely a sidebar's badge or the previous column's line.
constexpr double kMaximumLeadIndent = 3.0;
// A line was broken only if the next line's first word would not have fitted
// after it; the boxes are good to about a space and a character.
constexpr double kWrapSlack = 1.0;

// After these a line break stands for no space: a hyphen, an address's "@"
// or a dot of a host name.
bool breaksWithoutSpace(std::u16string_view cluster)
{
    return cluster == u"-" || cluster == u"@" || cluster == u".";
}

// A list item's number or bullet; its wrapped lines align with the text after it.
bool isBullet(std::u16string_view cluster)
{
    static constexpr std::u16string_view bullets[] = {u"\u2022", u"\u25E6", u"\u25AA", u"\u2023", u"\u2043", u"-",
                                                      u"\u2013", u"\u2014", u"*", u"\u00B7"};
    return std::find(std::begin(bullets), std::end(bullets), cluster) != std::end(bullets);
}

bool isAsciiDigit(std::u16string_view cluster)
{
    return cluster.size() == 1 && cluster[0] >= u'0' && cluster[0] <= u'9';
}

bool isLatinLetter(std::u16string_view cluster)
{
    if (cluster.size() != 1)
        return false;
    const char16_t c = cluster[0];
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

struct PreparedLine {
    std::string text; // repaired UTF-8, so that joined lines stay valid
    std::u16string utf16;
    std::vector<std::size_t> boundaries;
    CharacterRange visible; // without white space at either end
    bool joinsWithoutSpace = false;
    double firstWordWidth = 0; // frame heights
    double markerShare = 0;    // of the line's width, taken by a leading list marker
    std::optional<std::vector<Match>> own;

    std::size_t clusterCount() const { return boundaries.size() - 1; }
    std::u16string_view cluster(std::size_t i) const
    {
        return std::u16string_view(utf16).substr(boundaries[i], boundaries[i + 1] - boundaries[i]);
    }
};

// Where the text after a leading "•", "5." or "b)" starts; 0 without one.
std::size_t listMarkerEnd(const PreparedLine& p)
{
    std::size_t i = p.visible.lower;
    const std::size_t end = p.visible.upper;
    if (i < end && isBullet(p.cluster(i))) {
        ++i;
    } else {
        std::size_t digits = 0;
        while (i + digits < end && digits < 3 && isAsciiDigit(p.cluster(i + digits)))
            ++digits;
        const std::size_t label = digits > 0 ? digits : (i < end && isLatinLetter(p.cluster(i)) ? 1 : 0);
        if (label == 0 || i + label >= end || (p.cluster(i + label) != u"." && p.cluster(i + label) != u")"))
            return 0;
        i += label + 1;
    }
    while (i < end && unicode::isWhiteSpace(p.cluster(i)))
        ++i;
    return i;
}

PreparedLine prepared(const BlockLine& line, double frameAspectRatio)
{
    PreparedLine p;
    p.utf16 = unicode::toUtf16(line.text);
    p.text = unicode::toUtf8(p.utf16);
    p.boundaries = unicode::clusterBoundaries(p.utf16);
    const std::size_t count = p.clusterCount();
    std::size_t lower = 0;
    while (lower < count && unicode::isWhiteSpace(p.cluster(lower)))
        ++lower;
    std::size_t upper = count;
    while (upper > lower && unicode::isWhiteSpace(p.cluster(upper - 1)))
        --upper;
    p.visible = {lower, upper};
    if (upper > lower)
        p.joinsWithoutSpace = breaksWithoutSpace(p.cluster(upper - 1));
    // Up to the first place the line could have been broken at instead.
    std::size_t word = lower;
    while (word < upper && !unicode::isWhiteSpace(p.cluster(word))) {
        ++word;
        if (p.cluster(word - 1) == u"-")
            break;
    }
    if (count > 0)
        p.firstWordWidth = std::max(line.rect.width, 0.0) * frameAspectRatio *
                           static_cast<double>(word - lower) / static_cast<double>(count);
    if (std::size_t marker = listMarkerEnd(p); marker > 0 && marker < upper)
        p.markerShare = static_cast<double>(marker) / static_cast<double>(count);
    return p;
}

struct Join {
    std::size_t upper;
    std::size_t lower;
};

// Where a match over a window of joined lines falls on each of them.
struct Part {
    std::size_t line;
    CharacterRange range;
};

bool covers(CharacterRange outer, CharacterRange inner)
{
    return outer.lower <= inner.lower && inner.upper <= outer.upper;
}

bool isAlphanumeric(std::u16string_view cluster)
{
    std::size_t i = 0;
    UChar32 c;
    U16_NEXT(cluster.data(), i, cluster.size(), c);
    return u_isalnum(c);
}

// Joins lines placed like consecutive lines of a block (continues()) whose
// upper line ends where a wrap would have ended it, and keeps the matches
// that cross the break. Stacked table rows look like such a block too, so
// phone numbers across a break must also look like one number wrapped: not
// cells filled by digit groups, not a sentence's last number and a list's
// next item, not a quantity with its unit.
class Joiner {
public:
    Joiner(std::span<const BlockLine> lines, double frameAspectRatio, const ScanSettings& settings)
        : lines_(lines), aspect_(frameAspectRatio), extra_(lines.size())
    {
        rules_ = settings;
        rules_.blurHan = false;
        // Terms that tolerate misreadings skip spaces anyway; joined the
        // other way they would only lose the rule's guard at word ends.
        looseRules_ = rules_;
        looseRules_.blurEmails = false;
        std::erase_if(looseRules_.customTerms, TextMatcher::toleratesMisreading);
        lineOf_.reserve(lines.size());
        for (const BlockLine& line : lines)
            lineOf_.push_back(prepared(line, frameAspectRatio));
    }

    std::vector<std::vector<Match>> run()
    {
        const std::vector<Join> joins = wrappedJoins();
        for (const Join& first : joins) {
            match({first.upper, first.lower});
            for (const Join& second : joins) {
                if (second.upper == first.lower)
                    match({first.upper, first.lower, second.lower});
            }
        }
        for (std::size_t i = 0; i < extra_.size(); ++i)
            extra_[i] = finished(i, std::move(extra_[i]));
        return std::move(extra_);
    }

private:
    // Placed pairs whose upper line would not have held the lower line's
    // first word.
    std::vector<Join> wrappedJoins() const
    {
        std::vector<Join> placed;
        for (std::size_t a = 0; a < lines_.size(); ++a) {
            if (lineOf_[a].visible.lower == lineOf_[a].visible.upper)
                continue;
            for (std::size_t b = 0; b < lines_.size(); ++b) {
                if (b == a || lineOf_[b].visible.lower == lineOf_[b].visible.upper)
                    continue;
                if (continues(lines_[a].rect, lines_[b].rect, aspect_) ||
                    (lineOf_[a].markerShare > 0 && continues(afterMarker(a), lines_[b].rect, aspect_)))
                    placed.push_back({a, b});
            }
        }
        // The block's right edge, as far as the lines placed next to each
        // line show it; a whole chain of placements can run into another
        // block (a card over a page, a column below a paragraph).
        std::vector<double> rightEdge(lines_.size(), 0.0);
        for (std::size_t i = 0; i < lines_.size(); ++i)
            rightEdge[i] = lines_[i].rect.maxX();
        for (const Join& join : placed) {
            rightEdge[join.upper] = std::max(rightEdge[join.upper], lines_[join.lower].rect.maxX());
            rightEdge[join.lower] = std::max(rightEdge[join.lower], lines_[join.upper].rect.maxX());
        }
        std::vector<Join> wrapped;
        for (const Join& join : placed) {
            const NormalizedRect& upper = lines_[join.upper].rect;
            const double height = (upper.height + lines_[join.lower].rect.height) / 2;
            const double reach = upper.maxX() * aspect_ + lineOf_[join.lower].firstWordWidth + kWrapSlack * height;
            if (reach >= std::max(rightEdge[join.upper], rightEdge[join.lower]) * aspect_)
                wrapped.push_back(join);
        }
        return wrapped;
    }

    NormalizedRect afterMarker(std::size_t line) const
    {
        NormalizedRect rect = lines_[line].rect;
        const double indent = rect.width * lineOf_[line].markerShare;
        rect.x += indent;
        rect.width -= indent;
        return rect;
    }

    void match(const std::vector<std::size_t>& window)
    {
        const std::size_t breaks = window.size() - 1;
        for (std::uint32_t flipped = 0; flipped < (1u << breaks); ++flipped) {
            // The other way of joining is only tried for phones and terms.
            const ScanSettings& rules = flipped == 0 ? rules_ : looseRules_;
            if (flipped != 0 && !rules.blurPhones && rules.customTerms.empty())
                continue;
            std::string joined;
            std::vector<std::size_t> offsets; // UTF-16 start of each line in `joined`
            std::size_t length = 0;
            for (std::size_t k = 0; k < window.size(); ++k) {
                const PreparedLine& line = lineOf_[window[k]];
                if (k > 0) {
                    const bool space = lineOf_[window[k - 1]].joinsWithoutSpace == ((flipped >> (k - 1)) & 1u);
                    if (space) {
                        joined += ' ';
                        ++length;
                    }
                }
                offsets.push_back(length);
                joined += line.text;
                length += line.utf16.size();
            }
            for (const Match& found : TextMatcher::matches(joined, rules)) {
                std::vector<Part> parts = partsOf(found, window, offsets);
                if (parts.size() == window.size() && accepted(found.kind, parts))
                    for (const Part& part : parts)
                        extra_[part.line].push_back(matchOn(part, found.kind));
            }
        }
    }

    std::vector<Part> partsOf(const Match& found, const std::vector<std::size_t>& window,
                              const std::vector<std::size_t>& offsets) const
    {
        std::vector<Part> parts;
        const std::size_t start = found.utf16Location;
        const std::size_t end = found.utf16Location + found.utf16Length;
        for (std::size_t k = 0; k < window.size(); ++k) {
            const PreparedLine& line = lineOf_[window[k]];
            const std::size_t from = std::max(start, offsets[k]);
            const std::size_t to = std::min(end, offsets[k] + line.utf16.size());
            if (from >= to)
                continue;
            // Whole characters of the line, even where the join merged two.
            const auto& b = line.boundaries;
            const auto lower = static_cast<std::size_t>(
                std::upper_bound(b.begin(), b.end(), from - offsets[k]) - b.begin() - 1);
            const auto upper =
                static_cast<std::size_t>(std::lower_bound(b.begin(), b.end(), to - offsets[k]) - b.begin());
            parts.push_back({window[k], {lower, upper}});
        }
        return parts;
    }

    bool accepted(RedactionKind kind, const std::vector<Part>& parts)
    {
        for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
            const PreparedLine& upper = lineOf_[parts[k].line];
            const PreparedLine& lower = lineOf_[parts[k + 1].line];
            // A line ending in its own address or number and a full stop ends
            // a sentence; the next line (often "3." of a list) is not more of it.
            const std::size_t end = upper.visible.upper;
            if (upper.cluster(end - 1) == u"." &&
                std::any_of(ownOf(parts[k].line).begin(), ownOf(parts[k].line).end(),
                            [&](const Match& m) { return m.kind == kind && m.range.upper == end - 1; }))
                return false;
            // Digit groups each filling a line of their own, stacked without
            // a hyphen between them, are cells of a column more often than a
            // wrapped number: "2019" over "2020" is no phone number.
            if (kind == RedactionKind::phone && !upper.joinsWithoutSpace && fills(upper, parts[k].range) &&
                fills(lower, parts[k + 1].range))
                return false;
        }
        // Digits running on into a unit, a time or a share ("1.92s", "16:42",
        // "35%") are a quantity, not the end of a number.
        const PreparedLine& last = lineOf_[parts.back().line];
        const std::size_t after = parts.back().range.upper;
        if (kind != RedactionKind::phone || after >= last.clusterCount())
            return true;
        const std::u16string_view next = last.cluster(after);
        return !isLatinLetter(next) && next != u":" && next != u"%";
    }

    // Nothing but punctuation and spaces of the line lies outside `range`.
    static bool fills(const PreparedLine& line, CharacterRange range)
    {
        for (std::size_t i = line.visible.lower; i < line.visible.upper; ++i) {
            if ((i < range.lower || i >= range.upper) && isAlphanumeric(line.cluster(i)))
                return false;
        }
        return true;
    }

    const std::vector<Match>& ownOf(std::size_t line)
    {
        PreparedLine& p = lineOf_[line];
        if (!p.own)
            p.own = TextMatcher::matches(p.text, rules_);
        return *p.own;
    }

    Match matchOn(const Part& part, RedactionKind kind) const
    {
        const auto& b = lineOf_[part.line].boundaries;
        return {part.range, kind, b[part.range.lower], b[part.range.upper] - b[part.range.lower]};
    }

    // Drops what the line's own matches or a longer join match already hide.
    std::vector<Match> finished(std::size_t line, std::vector<Match> found)
    {
        if (found.empty())
            return found;
        const std::vector<Match>& own = ownOf(line);
        std::vector<Match> kept;
        for (std::size_t i = 0; i < found.size(); ++i) {
            const Match& m = found[i];
            const auto hides = [&](const Match& other) { return other.kind == m.kind && covers(other.range, m.range); };
            if (std::any_of(own.begin(), own.end(), hides))
                continue;
            // Of equal matches the first stays.
            bool hidden = false;
            for (std::size_t j = 0; j < found.size() && !hidden; ++j)
                hidden = j != i && hides(found[j]) && (found[j].range != m.range || j < i);
            if (!hidden)
                kept.push_back(m);
        }
        std::stable_sort(kept.begin(), kept.end(),
                         [](const Match& a, const Match& b) { return a.utf16Location < b.utf16Location; });
        return kept;
    }

    std::span<const BlockLine> lines_;
    double aspect_;
    ScanSettings rules_;
    ScanSettings looseRules_;
    std::vector<PreparedLine> lineOf_;
    std::vector<std::vector<Match>> extra_;
};

} // namespace

bool continues(const NormalizedRect& upper, const NormalizedRect& lower, double frameAspectRatio)
{
    if (!(upper.height > 0) || !(lower.height > 0) || !(frameAspectRatio > 0))
        return false;
    if (std::min(upper.height, lower.height) / std::max(upper.height, lower.height) < kMinimumHeightRatio)
        return false;
    const double height = (upper.height + lower.height) / 2;
    if (lower.y - upper.y < kMinimumPitch * height || lower.y - upper.maxY() > kMaximumLeading * height)
        return false;
    const double upperStart = upper.x * frameAspectRatio;
    const double lowerStart = lower.x * frameAspectRatio;
    if (lowerStart > upperStart + kLeftEdgeSlack * height)
        return false; // indented: not the block's left edge
    return upperStart - lowerStart <= kMaximumLeadIndent * height ||
           lower.maxX() * frameAspectRatio > upperStart + kLeftEdgeSlack * height;
}

std::vector<std::vector<Match>> matches(std::span<const BlockLine> lines, double frameAspectRatio,
                                        const ScanSettings& settings)
{
    if (settings.allText || !(frameAspectRatio > 0) ||
        (!settings.blurEmails && !settings.blurPhones && settings.customTerms.empty()))
        return std::vector<std::vector<Match>>(lines.size());
    return Joiner(lines, frameAspectRatio, settings).run();
}

} // namespace scrivel::WrappedLineMatcher

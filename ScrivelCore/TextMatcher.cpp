#include "ScrivelCore/TextMatcher.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include "ScrivelCore/UnicodeText.hpp"

namespace scrivel::TextMatcher {

namespace {

[[noreturn]] void patternFailure(const char* name, UErrorCode status)
{
    std::fprintf(stderr, "Scrivel: the pattern %s does not compile (%s)\n", name, u_errorName(status));
    std::abort();
}

std::unique_ptr<icu::RegexPattern> compile(const char16_t* pattern, uint32_t flags, const char* name)
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString(pattern), flags, parseError, status));
    if (U_FAILURE(status) || !compiled)
        patternFailure(name, status);
    return compiled;
}

// Compiled once, on first use; a pattern is immutable afterwards, so threads
// share it and each call makes its own matcher.
struct Patterns {
    std::unique_ptr<icu::RegexPattern> email;
    std::unique_ptr<icu::RegexPattern> phone;
    // "Script=Han" as a frozen set: the same property test as the pattern
    // \p{sc=Han}, without running a regex engine per character.
    icu::UnicodeSet han;
};

const Patterns& patterns()
{
    static const Patterns shared = [] {
        Patterns p;
        p.email = compile(u"[A-Z0-9._%+-]+@[A-Z0-9.-]+\\.[A-Z]{2,}", UREGEX_CASE_INSENSITIVE, "emailRegex");
        p.phone = compile(u"(?<!\\d)(?:\\+?\\d[\\d\\s().-]{6,}\\d)(?!\\d)", 0, "phoneRegex");
        UErrorCode status = U_ZERO_ERROR;
        p.han.applyPattern(icu::UnicodeString(u"\\p{sc=Han}"), status);
        if (U_FAILURE(status))
            patternFailure("hanRegex", status);
        p.han.freeze();
        return p;
    }();
    return shared;
}

bool hasHan(std::u16string_view units)
{
    const icu::UnicodeSet& han = patterns().han;
    const auto length = static_cast<int32_t>(units.size());
    return han.span(units.data(), length, USET_SPAN_NOT_CONTAINED) < length;
}

// One line in the forms the rules work on.
struct Line {
    std::u16string utf16;
    std::vector<std::size_t> boundaries; // cluster starts in UTF-16 units, then the length

    std::size_t clusterCount() const { return boundaries.size() - 1; }
    std::u16string_view cluster(std::size_t index) const
    {
        return std::u16string_view(utf16).substr(boundaries[index], boundaries[index + 1] - boundaries[index]);
    }
    // The cluster starting exactly at this UTF-16 offset (or the end), if any.
    std::optional<std::size_t> clusterAt(std::size_t offset) const
    {
        const auto found = std::lower_bound(boundaries.begin(), boundaries.end(), offset);
        if (found == boundaries.end() || *found != offset)
            return std::nullopt;
        return static_cast<std::size_t>(found - boundaries.begin());
    }
    Match match(std::size_t lower, std::size_t upper, RedactionKind kind) const
    {
        return {{lower, upper}, kind, boundaries[lower], boundaries[upper] - boundaries[lower]};
    }
};

void hanMatches(const Line& line, std::vector<Match>& out)
{
    std::optional<std::size_t> runStart;
    for (std::size_t c = 0; c < line.clusterCount(); ++c) {
        if (hasHan(line.cluster(c))) {
            if (!runStart)
                runStart = c;
        } else if (runStart) {
            out.push_back(line.match(*runStart, c, RedactionKind::han));
            runStart.reset();
        }
    }
    if (runStart)
        out.push_back(line.match(*runStart, line.clusterCount(), RedactionKind::han));
}

// Recognition of Chinese and English text often reads the punctuation of a
// number or an address in its full-width form ("+1（415） 555-0142",
// "a＠b.io"). The patterns see those as their ASCII forms: each is one
// UTF-16 unit for one, so every position stays where it was. None when the
// line holds no such character.
std::optional<Line> withAsciiForms(const Line& line)
{
    const auto fullWidth = [](char16_t unit) { return (unit >= 0xFF01 && unit <= 0xFF5E) || unit == 0x3000; };
    if (std::none_of(line.utf16.begin(), line.utf16.end(), fullWidth))
        return std::nullopt;
    Line ascii = line;
    for (char16_t& unit : ascii.utf16) {
        if (unit == 0x3000)
            unit = u' ';
        else if (fullWidth(unit))
            unit = static_cast<char16_t>(unit - 0xFEE0);
    }
    return ascii;
}

void regexMatches(const icu::RegexPattern& pattern, const Line& line, RedactionKind kind, std::vector<Match>& out)
{
    UErrorCode status = U_ZERO_ERROR;
    // Read-only alias: the matcher reads the line's own buffer, which outlives it.
    const icu::UnicodeString input(false, line.utf16.data(), static_cast<int32_t>(line.utf16.size()));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        std::fprintf(stderr, "Scrivel: cannot create a regex matcher (%s)\n", u_errorName(status));
        std::abort();
    }
    while (matcher->find(status) && U_SUCCESS(status)) {
        const auto start = static_cast<std::size_t>(matcher->start(status));
        const auto end = static_cast<std::size_t>(matcher->end(status));
        const auto lower = line.clusterAt(start);
        const auto upper = line.clusterAt(end);
        // A match that splits a user-perceived character cannot be boxed.
        if (lower && upper && *lower < *upper)
            out.push_back(line.match(*lower, *upper, kind));
    }
}

// Case- and diacritic-insensitive form without locale: canonical
// decomposition, nonspacing marks removed, full case folding.
std::u16string folded(std::u16string_view units)
{
    if (units.size() == 1 && units[0] < 0x80) {
        char16_t unit = units[0];
        if (unit >= u'A' && unit <= u'Z')
            unit = static_cast<char16_t>(unit - u'A' + u'a');
        return std::u16string(1, unit);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "Scrivel: Unicode normalisation data missing (%s)\n", u_errorName(status));
        std::abort();
    }
    const icu::UnicodeString source(false, units.data(), static_cast<int32_t>(units.size()));
    icu::UnicodeString decomposed = nfd->normalize(source, status);
    auto stripMarks = [](const icu::UnicodeString& text) {
        icu::UnicodeString kept;
        for (int32_t i = 0; i < text.length();) {
            const UChar32 c = text.char32At(i);
            if (u_charType(c) != U_NON_SPACING_MARK)
                kept.append(c);
            i += U16_LENGTH(c);
        }
        return kept;
    };
    icu::UnicodeString result = stripMarks(decomposed);
    result.foldCase(U_FOLD_CASE_DEFAULT);
    // Folding can itself produce marks (U+0130 folds to i + U+0307).
    result = stripMarks(result);
    return std::u16string(reinterpret_cast<const char16_t*>(result.getBuffer()),
                          static_cast<std::size_t>(result.length()));
}

// The line folded cluster by cluster, so that every folded unit can be traced
// back to the character it came from.
struct FoldedLine {
    std::u16string text;
    std::vector<std::size_t> clusterOfUnit;
    std::vector<std::size_t> start; // per cluster, offset of its first folded unit
    std::vector<std::size_t> end;   // per cluster, offset past its last folded unit

    explicit FoldedLine(const Line& line)
    {
        const std::size_t count = line.clusterCount();
        start.resize(count);
        end.resize(count);
        text.reserve(line.utf16.size());
        clusterOfUnit.reserve(line.utf16.size());
        for (std::size_t c = 0; c < count; ++c) {
            start[c] = text.size();
            text += folded(line.cluster(c));
            end[c] = text.size();
            clusterOfUnit.resize(text.size(), c);
        }
    }
};

// Apple-style "whitespaces and newlines": tab, Z* separators, LF..CR, NEL.
bool isWhitespaceOrNewline(UChar32 c)
{
    if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85)
        return true;
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::u16string_view trimmed(std::u16string_view term)
{
    std::size_t begin = 0;
    std::size_t end = term.size();
    while (begin < end) {
        std::size_t next = begin;
        UChar32 c;
        U16_NEXT(term.data(), next, end, c);
        if (!isWhitespaceOrNewline(c))
            break;
        begin = next;
    }
    while (end > begin) {
        std::size_t previous = end;
        UChar32 c;
        U16_PREV(term.data(), begin, previous, c);
        if (!isWhitespaceOrNewline(c))
            break;
        end = previous;
    }
    return term.substr(begin, end - begin);
}

void literalMatches(std::u16string_view term, const FoldedLine& line, std::vector<Match>& out, const Line& source)
{
    const std::u16string needle = folded(term);
    // A term of marks alone folds to nothing and would match everywhere.
    if (needle.empty())
        return;
    const std::u16string_view haystack(line.text);
    std::size_t from = 0;
    while (from < haystack.size()) {
        const std::size_t found = haystack.find(needle, from);
        if (found == std::u16string_view::npos)
            return;
        const std::size_t last = found + needle.size();
        const std::size_t lower = line.clusterOfUnit[found];
        const std::size_t upper = line.clusterOfUnit[last - 1];
        // Only whole characters count: "s" does not match half of a folded "ß".
        if (line.start[lower] == found && line.end[upper] == last) {
            out.push_back(source.match(lower, upper + 1, RedactionKind::custom));
            from = last;
        } else {
            from = found + 1;
        }
    }
}

// Terms this long also match a stretch within one edit per eight characters,
// after the confusions a recogniser typically makes are folded away.
constexpr std::size_t kFuzzyTermCharacters = 8;

// One unit of the confusion-folded form, with the characters it came from.
struct LooseUnit {
    char16_t unit;
    std::size_t firstCluster;
    std::size_t lastCluster;
};

// Characters a recogniser reads for one another count as one: O/0, I/l/1/|,
// S/5, B/8, Z/2 (case is already folded), and "rn" as "m". Spaces are left
// out, since recognisers both drop and insert them.
std::vector<LooseUnit> loosened(const FoldedLine& line)
{
    std::vector<LooseUnit> units;
    units.reserve(line.text.size());
    for (std::size_t i = 0; i < line.text.size(); ++i) {
        char16_t unit = line.text[i];
        if (isWhitespaceOrNewline(unit))
            continue;
        switch (unit) {
        case u'0': unit = u'o'; break;
        case u'i': case u'1': case u'|': unit = u'l'; break;
        case u'5': unit = u's'; break;
        case u'8': unit = u'b'; break;
        case u'2': unit = u'z'; break;
        default: break;
        }
        const std::size_t cluster = line.clusterOfUnit[i];
        if (unit == u'n' && !units.empty() && units.back().unit == u'r') {
            units.back().unit = u'm';
            units.back().lastCluster = cluster;
            continue;
        }
        units.push_back({unit, cluster, cluster});
    }
    return units;
}

struct Stretch {
    std::size_t edits;
    std::size_t units;
    CharacterRange range;
};

// Approximate search (Sellers): the best stretches of the line within
// `maximumEdits` of the term, none overlapping another or `taken`. Of equally
// close stretches the longest wins (it hides all a shorter one would), then
// the leftmost.
std::vector<CharacterRange> nearMatches(const std::vector<LooseUnit>& term, const std::vector<LooseUnit>& line,
                                        std::size_t maximumEdits, std::vector<CharacterRange> taken)
{
    const std::size_t m = term.size();
    const std::size_t n = line.size();
    if (m == 0 || n + maximumEdits < m)
        return {};
    // cost[i][j]: edits between the term's first i units and the best stretch
    // of the line ending at unit j; a stretch may start anywhere.
    std::vector<std::size_t> cost((m + 1) * (n + 1));
    auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return cost[i * (n + 1) + j]; };
    for (std::size_t i = 0; i <= m; ++i)
        at(i, 0) = i;
    for (std::size_t i = 1; i <= m; ++i) {
        for (std::size_t j = 1; j <= n; ++j) {
            const std::size_t substitution = at(i - 1, j - 1) + (term[i - 1].unit == line[j - 1].unit ? 0 : 1);
            at(i, j) = std::min({substitution, at(i - 1, j) + 1, at(i, j - 1) + 1});
        }
    }

    std::vector<Stretch> candidates;
    for (std::size_t end = 1; end <= n; ++end) {
        const std::size_t edits = at(m, end);
        if (edits > maximumEdits)
            continue;
        // Walk back to where this stretch starts, preferring aligned units.
        std::size_t i = m;
        std::size_t j = end;
        std::optional<bool> lastMatched;
        bool firstMatched = false;
        while (i > 0 && j > 0) {
            const bool same = term[i - 1].unit == line[j - 1].unit;
            if (at(i, j) == at(i - 1, j - 1) + (same ? 0 : 1)) {
                firstMatched = same;
                --i;
                --j;
            } else if (at(i, j) == at(i - 1, j) + 1) {
                --i;
                continue;
            } else {
                firstMatched = false;
                --j;
            }
            if (!lastMatched)
                lastMatched = firstMatched;
        }
        // An unmatched unit at an end, beyond a dropped space, is a letter of
        // the next word standing in for a missing one: leave it out.
        const auto spaceBetween = [&](std::size_t a, std::size_t b) {
            return line[a].lastCluster + 1 < line[b].firstCluster;
        };
        std::size_t last = end;
        if (j + 1 < last && !firstMatched && spaceBetween(j, j + 1))
            ++j;
        if (j + 1 < last && !lastMatched.value_or(true) && spaceBetween(last - 2, last - 1))
            --last;
        if (j >= last)
            continue;
        candidates.push_back({edits, last - j, {line[j].firstCluster, line[last - 1].lastCluster + 1}});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Stretch& a, const Stretch& b) {
        if (a.edits != b.edits)
            return a.edits < b.edits;
        if (a.units != b.units)
            return a.units > b.units;
        return a.range.lower < b.range.lower;
    });
    std::vector<CharacterRange> kept;
    for (const Stretch& candidate : candidates) {
        const auto overlaps = [&](const CharacterRange& other) {
            return candidate.range.lower < other.upper && other.lower < candidate.range.upper;
        };
        if (std::none_of(taken.begin(), taken.end(), overlaps)) {
            kept.push_back(candidate.range);
            taken.push_back(candidate.range);
        }
    }
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.lower < b.lower; });
    return kept;
}

// Stretches that only a misreading keeps from matching the term exactly;
// `exact` holds the term's exact matches, which they must not overlap.
void nearTermMatches(std::u16string_view term, const FoldedLine& line, const Line& source,
                     const std::vector<Match>& exact, std::vector<Match>& out)
{
    const std::size_t characters = unicode::clusterBoundaries(term).size() - 1;
    if (characters < kFuzzyTermCharacters)
        return;
    Line termLine;
    termLine.utf16 = std::u16string(term);
    termLine.boundaries = unicode::clusterBoundaries(termLine.utf16);
    std::vector<CharacterRange> taken;
    for (const Match& match : exact)
        taken.push_back(match.range);
    for (const CharacterRange& range : nearMatches(loosened(FoldedLine(termLine)), loosened(line),
                                                   characters / kFuzzyTermCharacters, std::move(taken)))
        out.push_back(source.match(range.lower, range.upper, RedactionKind::custom));
}

std::vector<Match> deduplicated(std::vector<Match> list)
{
    std::set<std::tuple<RedactionKind, std::size_t, std::size_t>> seen;
    std::vector<Match> kept;
    kept.reserve(list.size());
    for (Match& match : list) {
        if (seen.emplace(match.kind, match.utf16Location, match.utf16Length).second)
            kept.push_back(std::move(match));
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Match& a, const Match& b) { return a.utf16Location < b.utf16Location; });
    return kept;
}

} // namespace

std::vector<Match> matches(std::string_view text, const ScanSettings& settings)
{
    if (text.empty())
        return {};
    Line line;
    line.utf16 = unicode::toUtf16(text);
    line.boundaries = unicode::clusterBoundaries(line.utf16);
    if (settings.allText)
        return {line.match(0, line.clusterCount(), RedactionKind::all)};

    std::vector<Match> list;
    if (settings.blurHan)
        hanMatches(line, list);
    const std::optional<Line> ascii = withAsciiForms(line);
    const Line& patternLine = ascii ? *ascii : line;
    if (settings.blurEmails)
        regexMatches(*patterns().email, patternLine, RedactionKind::email, list);
    if (settings.blurPhones)
        regexMatches(*patterns().phone, patternLine, RedactionKind::phone, list);
    std::optional<FoldedLine> foldedLine;
    for (const std::string& rawTerm : settings.customTerms) {
        const std::u16string term16 = unicode::toUtf16(rawTerm);
        const std::u16string_view term = trimmed(term16);
        if (term.empty())
            continue;
        if (!foldedLine)
            foldedLine.emplace(line);
        const std::size_t firstExact = list.size();
        literalMatches(term, *foldedLine, list, line);
        const std::vector<Match> exact(list.begin() + static_cast<std::ptrdiff_t>(firstExact), list.end());
        nearTermMatches(term, *foldedLine, line, exact, list);
    }
    return deduplicated(std::move(list));
}

bool toleratesMisreading(std::string_view term)
{
    const std::u16string term16 = unicode::toUtf16(term);
    return unicode::clusterBoundaries(trimmed(term16)).size() - 1 >= kFuzzyTermCharacters;
}

bool containsHan(std::string_view character)
{
    return hasHan(unicode::toUtf16(character));
}

} // namespace scrivel::TextMatcher

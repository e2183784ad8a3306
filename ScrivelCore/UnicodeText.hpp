#pragma once

// Strings are UTF-8 std::string everywhere in the records. Positions inside a
// recognised line are counted in extended grapheme clusters ("characters");
// where a position is compared or printed as a number, its UTF-16 offset is
// used. These helpers convert between the three.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace scrivel::unicode {

// One extended grapheme cluster of a string.
struct Cluster {
    std::string text;          // UTF-8 bytes of the cluster
    std::size_t utf8Offset;    // byte offset in the source string
    std::size_t utf16Offset;   // UTF-16 code-unit offset in the source string
    std::size_t utf16Length;   // UTF-16 code units
};

// Invalid UTF-8 sequences are replaced by U+FFFD before splitting, so the
// offsets refer to the repaired string (identical for valid input).
std::vector<Cluster> graphemeClusters(std::string_view utf8);

// Offsets (UTF-16 code units) where clusters start, followed by the length:
// n clusters give n + 1 entries, the empty string gives {0}.
std::vector<std::size_t> clusterBoundaries(std::u16string_view utf16);

// Invalid UTF-8 sequences and unpaired surrogates become U+FFFD.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

// Whether a character (one cluster) is white space: its first code point has
// the Unicode White_Space property. False for the empty string.
bool isWhiteSpace(std::string_view utf8Character);
bool isWhiteSpace(std::u16string_view utf16Character);

// Edits (insertions, deletions, substitutions) that turn `a` into `b`, one
// code unit at a time.
template <typename Char>
std::size_t editDistance(std::basic_string_view<Char> a, std::basic_string_view<Char> b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace scrivel::unicode

#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// Decides which spans of one recognised line are redacted. Stateless; the
// patterns are compiled once per process and shared between threads.
namespace TextMatcher {

// Half-open range of extended grapheme clusters of the line as given.
struct CharacterRange {
    std::size_t lower = 0;
    std::size_t upper = 0;
    bool operator==(const CharacterRange&) const = default;
};

struct Match {
    CharacterRange range;
    RedactionKind kind = RedactionKind::all;
    // The same span in UTF-16 code units, the numbering used to compare positions.
    std::size_t utf16Location = 0;
    std::size_t utf16Length = 0;

    bool operator==(const Match&) const = default;
};

// A custom term of eight characters or more also matches, as `custom`, a
// stretch that differs from it by at most one edit per eight characters once
// case, accents, spaces and the usual recognition confusions (O/0, I/l/1,
// "rn"/"m", ...) are folded; such a stretch never overlaps an exact match of
// the same term.
std::vector<Match> matches(std::string_view text, const ScanSettings& settings);

// True when a custom term is long enough to match misread stretches too.
bool toleratesMisreading(std::string_view term);

// True when any code point of the cluster (UTF-8) has Script=Han.
bool containsHan(std::string_view character);

} // namespace TextMatcher
} // namespace scrivel

#pragma once

#include <ostream>

#include "ScrivelCore/TextMatcher.hpp"

// Readable failures for matcher results: range, kind and UTF-16 span.
namespace scrivel::TextMatcher {
inline void PrintTo(const Match& match, std::ostream* os)
{
    *os << "[" << match.range.lower << "," << match.range.upper << ") kind " << static_cast<int>(match.kind)
        << " utf16 " << match.utf16Location << "+" << match.utf16Length;
}
} // namespace scrivel::TextMatcher

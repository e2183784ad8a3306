#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/Settings.hpp"
#include "ScrivelCore/TextMatcher.hpp"

namespace scrivel {

// Finds the e-mail addresses, phone numbers and custom terms that a line
// break splits between consecutive lines of one text block, which
// TextMatcher, reading one line at a time, cannot see. Stateless.
namespace WrappedLineMatcher {

// One recognised line of a frame: its text and its box in frame-normalised
// coordinates.
struct BlockLine {
    std::string_view text;
    NormalizedRect rect;

    bool operator==(const BlockLine&) const = default;
};

// True when `lower` sits where the next line of `upper`'s block would: just
// below it, about as tall, and starting at the block's left edge, which
// `upper` may start right of (after a bullet or a sender's name).
// `frameAspectRatio` is the frame's width over its height.
bool continues(const NormalizedRect& upper, const NormalizedRect& lower, double frameAspectRatio);

// For each of `lines`, in the same order: the matches it holds only as part
// of a match across a line break, in its own characters and with the kind of
// the rule that found them; none that its own matches already cover. Lines
// are joined two and three at a time, without a space after "-", "@" or "."
// and with one otherwise; phone numbers and terms are also tried the other
// way. Han runs are not joined, and all-text mode joins nothing.
std::vector<std::vector<TextMatcher::Match>> matches(std::span<const BlockLine> lines, double frameAspectRatio,
                                                     const ScanSettings& settings);

} // namespace WrappedLineMatcher
} // namespace scrivel

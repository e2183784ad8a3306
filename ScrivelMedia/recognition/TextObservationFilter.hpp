#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ScrivelCore/TextMatcher.hpp"
#include "recognition/TextObservation.hpp"

namespace scrivel {

// Decides which part of a recognised line is kept: drops lines without
// letters, digits or Han characters, cuts off a leading icon read as a
// letter, and drops lone uncertain characters that no confident line of the
// same size sits next to. Positions are grapheme clusters.
namespace TextObservationFilter {

// A neighbouring recognised line, used only while filtering.
struct Line {
    std::string text;
    float confidence = 0;
    ObservationBox rect; // recogniser coordinates (origin lower left)

    bool operator==(const Line&) const = default;
};

// Builds the neighbour list on demand; acceptedRange calls it at most once,
// and only for uncertain short lines.
using Neighbors = std::function<std::vector<Line>()>;
// The box of a character range of the text, or none.
using CharacterBox = std::function<std::optional<ObservationBox>(TextMatcher::CharacterRange)>;

// The range of `text` to keep (always ending at the end of the text), or
// none when the whole line is dropped.
std::optional<TextMatcher::CharacterRange> acceptedRange(std::string_view text, float confidence,
                                                         const ObservationBox& rect, const Neighbors& neighbors,
                                                         double imageAspectRatio, const CharacterBox& characterBox);

// The same for one observation of a frame: its neighbours are the other
// observations whose best reading has a confidence of at least 0.5, and a
// character box that fails to compute counts as absent.
std::optional<TextMatcher::CharacterRange> acceptedRange(const RecognizedText& reading,
                                                         const TextObservation& observation,
                                                         std::span<const TextObservation* const> observations,
                                                         double imageAspectRatio);

} // namespace TextObservationFilter
} // namespace scrivel

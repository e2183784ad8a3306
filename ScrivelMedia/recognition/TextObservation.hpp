#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ScrivelCore/TextMatcher.hpp"

namespace scrivel {

// A rectangle in the recogniser's normalised image coordinates: 0..1 across
// the image, origin at the lower left, y growing upwards. Only the recogniser
// and its line filter use this convention; everything they return is
// converted to NormalizedRect (origin top-left).
struct ObservationBox {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double maxX() const { return x + width; }
    double minY() const { return y; }
    double maxY() const { return y + height; }

    bool operator==(const ObservationBox&) const = default;
};

// The best reading of a recognised line.
struct RecognizedText {
    std::string string; // UTF-8
    float confidence = 0; // 0..1

    bool operator==(const RecognizedText&) const = default;
};

// One recognised text line as the recogniser's post-processing sees it. The
// engine's lines implement it; tests implement it with synthetic boxes.
class TextObservation {
public:
    virtual ~TextObservation() = default;

    // Distinguishes the lines of one frame from each other.
    virtual std::uint64_t identity() const = 0;
    virtual ObservationBox boundingBox() const = 0;
    // The single best reading; none when the line could not be read.
    virtual std::optional<RecognizedText> topCandidate() const = 0;
    // The box of a range of characters (grapheme clusters) of the best
    // reading; none when it cannot be computed. May throw when the
    // computation itself fails.
    virtual std::optional<ObservationBox> boundingBox(TextMatcher::CharacterRange range) const = 0;
};

} // namespace scrivel

#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScrivelCore/UnicodeText.hpp"
#include "recognition/TextObservation.hpp"

namespace scrivel::testing {

// A recognised line with synthetic geometry: the line box is split into
// equal-width character cells unless cells are given.
class FakeObservation final : public TextObservation {
public:
    FakeObservation(std::uint64_t id, std::string text, float confidence, ObservationBox box)
        : id_(id), reading_(RecognizedText{std::move(text), confidence}), box_(box)
    {
        const auto n = unicode::graphemeClusters(reading_->string).size();
        for (std::size_t i = 0; i < n; ++i) {
            const double w = box.width / static_cast<double>(n);
            cells_.push_back(ObservationBox{box.x + w * static_cast<double>(i), box.y, w, box.height});
        }
    }

    // Overrides one character's box (none: that character has no box).
    FakeObservation& cell(std::size_t index, std::optional<ObservationBox> box)
    {
        reshaped_ = true;
        if (box)
            cells_.at(index) = *box;
        else
            missing_.push_back(index);
        return *this;
    }
    FakeObservation& failBoxes(bool fail = true)
    {
        failBoxes_ = fail;
        return *this;
    }
    // Box requests for exactly this range throw.
    FakeObservation& failFor(TextMatcher::CharacterRange range)
    {
        failing_.push_back(range);
        return *this;
    }
    // Box requests for exactly this range find no box.
    FakeObservation& absentFor(TextMatcher::CharacterRange range)
    {
        absent_.push_back(range);
        return *this;
    }
    FakeObservation& withoutReading()
    {
        reading_.reset();
        return *this;
    }

    std::uint64_t identity() const override { return id_; }
    ObservationBox boundingBox() const override { return box_; }
    std::optional<RecognizedText> topCandidate() const override { return reading_; }
    std::optional<ObservationBox> boundingBox(TextMatcher::CharacterRange range) const override
    {
        ++boxRequests;
        if (failBoxes_ || std::find(failing_.begin(), failing_.end(), range) != failing_.end())
            throw std::runtime_error("character box failed");
        if (range.lower >= range.upper || range.upper > cells_.size() ||
            std::find(absent_.begin(), absent_.end(), range) != absent_.end())
            return std::nullopt;
        if (range.lower == 0 && range.upper == cells_.size() && !reshaped_)
            return box_; // exactly, without rounding from the cells
        std::optional<ObservationBox> result;
        for (std::size_t i = range.lower; i < range.upper; ++i) {
            if (std::find(missing_.begin(), missing_.end(), i) != missing_.end())
                return std::nullopt;
            const auto& c = cells_[i];
            if (!result) {
                result = c;
                continue;
            }
            const double x0 = std::min(result->minX(), c.minX()), x1 = std::max(result->maxX(), c.maxX());
            const double y0 = std::min(result->minY(), c.minY()), y1 = std::max(result->maxY(), c.maxY());
            result = ObservationBox{x0, y0, x1 - x0, y1 - y0};
        }
        return result;
    }

    mutable int boxRequests = 0;

private:
    std::uint64_t id_;
    std::optional<RecognizedText> reading_;
    ObservationBox box_;
    std::vector<ObservationBox> cells_;
    std::vector<std::size_t> missing_;
    std::vector<TextMatcher::CharacterRange> failing_;
    std::vector<TextMatcher::CharacterRange> absent_;
    bool failBoxes_ = false;
    bool reshaped_ = false;
};

} // namespace scrivel::testing

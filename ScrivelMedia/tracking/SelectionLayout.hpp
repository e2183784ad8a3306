#pragma once

#include <map>
#include <vector>

#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// Where a line's redacted spans lie along it, per kind: merged horizontal
// ranges relative to the line's rectangle (0 = left edge, 1 = right edge).
// Lets the tracker tell whether two masks hide the same parts of a line.
class SelectionLayout {
public:
    struct Range {
        double lower = 0;
        double upper = 0;
        double length() const { return upper - lower; }
        bool operator==(const Range&) const = default;
    };

    SelectionLayout() = default;
    // Selections taken left to right; touching or overlapping spans of one
    // kind merge into one range.
    explicit SelectionLayout(const std::vector<TextSelection>& selections);

    const std::map<RedactionKind, std::vector<Range>>& spans() const { return spans_; }
    bool empty() const { return spans_.empty(); }
    bool hasSameKinds(const SelectionLayout& other) const;

    // Every kind of this layout overlaps the other's ranges of that kind by at
    // least 80 % of the larger total length. Callers check the kinds first.
    bool agrees(const SelectionLayout& other) const;
    // Placed in the frame through `rect` (this) and `otherRect` (other), every
    // range of this layout is at least 80 % covered by the other's ranges of
    // its kind.
    bool covers(const SelectionLayout& other, const NormalizedRect& rect, const NormalizedRect& otherRect) const;

    bool operator==(const SelectionLayout&) const = default;

private:
    std::map<RedactionKind, std::vector<Range>> spans_;
};

} // namespace scrivel

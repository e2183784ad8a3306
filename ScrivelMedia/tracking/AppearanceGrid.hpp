#pragma once

#include <optional>
#include <vector>

namespace scrivel {

// Grey samples of a text line's look on a regular grid, mean removed.
// Positions are relative to the described rectangle: 0 is its left (top)
// edge, 1 its right (bottom) edge; values outside 0…1 lie in the margin.
struct AppearanceGrid {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<float> centered; // x.size() × y.size(), row-major
    float energy = 0;            // sum of squares of `centered`

    // Fails (no grid) for no values or a flat area: energy / count ≤ 4e-5.
    static std::optional<AppearanceGrid> make(std::vector<double> x, std::vector<double> y, const std::vector<float>& values);
    // Columns [index·n/3, (index+1)·n/3) of every row, re-centred (index 0, 1 or 2).
    std::optional<AppearanceGrid> part(int index) const;

    bool operator==(const AppearanceGrid&) const = default;
};

} // namespace scrivel

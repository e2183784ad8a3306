#pragma once

#include "tracking/AppearanceGrid.hpp"

namespace scrivel {

// The look of a text line: a full grid (up to 96 × 24 samples) for the final
// positions and a coarse subset (up to 32 × 8) for the wide search.
struct AppearancePatch {
    AppearanceGrid full;
    AppearanceGrid coarse; // a copy of `full` when the subset is flat

    bool operator==(const AppearancePatch&) const = default;
};

} // namespace scrivel

#pragma once

namespace scrivel {

// Where a patch was found relative to the queried rectangle.
struct AppearanceMatch {
    double offsetX = 0; // normalised units, added to the rectangle's origin
    double offsetY = 0;
    double correlation = 0; // −1…1

    bool operator==(const AppearanceMatch&) const = default;
};

} // namespace scrivel

#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "decode/Image.hpp"

namespace scrivel {

// Numbers the scenes of a video while its frames are visited in time order:
// a new scene starts where the picture changes wholesale between two
// consecutive frames. One detector per scan, used by one thread.
class SceneBoundaryDetector {
public:
    static constexpr int thumbnailWidth = 64;
    static constexpr int thumbnailHeight = 36;
    // RGBA, rows of 256 bytes.
    using Thumbnail = std::array<std::uint8_t, thumbnailWidth * thumbnailHeight * 4>;

    // The scene number of `frame` (any size): 0 for the first scene, one more
    // at every boundary.
    std::int64_t observe(const Image& frame);

    // The frame reduced to 64 × 36 whatever its aspect ratio, area-averaged.
    static Thumbnail thumbnail(const Image& frame);

    struct Difference {
        double meanDifference; // 0..1: summed |ΔR|+|ΔG|+|ΔB| over 2,304 × 765
        double changedShare;   // share of pixels whose summed difference exceeds 90
    };
    static Difference compare(const Thumbnail& previous, const Thumbnail& current);

private:
    std::optional<Thumbnail> previous_;
    std::int64_t sceneNumber_ = 0;
};

} // namespace scrivel

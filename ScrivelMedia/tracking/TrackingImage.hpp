#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ScrivelCore/NormalizedRect.hpp"
#include "tracking/AppearanceMatch.hpp"
#include "tracking/AppearancePatch.hpp"
#include "tracking/GrayRaster.hpp"
#include "decode/Image.hpp"

namespace scrivel {

// A decoded frame prepared for finding text by its look: a small RGBA copy
// and a luminance pyramid. Rectangles are normalised, origin top-left.
struct TrackingImage {
    int width = 1;
    int height = 1;
    std::vector<std::uint8_t> rgba; // width × height × (R, G, B, A), top row first
    std::vector<GrayRaster> levels;  // level 0 at full size, each next one halved

    // The frame scaled down to at most `maximumDimension` pixels on its
    // longer side (area-averaged). Fails for maximumDimension < 1 or an empty frame.
    static std::optional<TrackingImage> make(const Image& frame, int maximumDimension);
    // From RGBA bytes as stored (width × height × 4).
    static TrackingImage fromRGBA(int width, int height, std::vector<std::uint8_t> rgba);

    std::optional<AppearancePatch> makePatch(const NormalizedRect& rect) const;
    std::optional<AppearanceMatch> match(const AppearancePatch& patch, const NormalizedRect& near) const;
    // For partly covered lines: the left, middle and right thirds matched on
    // their own; two that agree within a pixel decide.
    std::optional<AppearanceMatch> matchVisibleParts(const AppearancePatch& patch, const NormalizedRect& near) const;
    // `rect` grown on every side by one line height plus 2 pixels: the reach of match().
    NormalizedRect searchBounds(const NormalizedRect& rect) const;
    // Whether `other`, of the same size, holds the same values on every
    // level wherever match() and matchVisibleParts() near `rect` read
    // (searchBounds(rect) and the pixels bilinear sampling takes beside it):
    // then they find the same on both.
    bool sameWhereMatched(const TrackingImage& other, const NormalizedRect& rect) const;
    // The dominant colour just outside `rect`, 0x00RRGGBB.
    std::uint32_t backgroundColor(const NormalizedRect& rect) const;

    // Normalised cross-correlation of `grid` against the frame with `rect`
    // shifted by (offsetX, offsetY) full-resolution pixels; −infinity when
    // fewer than 12 samples fall inside the frame, 0 for a flat area.
    double correlation(const AppearanceGrid& grid, const NormalizedRect& rect, double offsetX, double offsetY) const;
    // correlation() at the whole-pixel offsets (offsetX, offsetsY[k]) into
    // values[k]: the same results, with each raster row's values at the
    // grid's columns interpolated once for all of them (a search tries many
    // offsets in a column).
    void correlations(const AppearanceGrid& grid, const NormalizedRect& rect, int offsetX,
                      const std::vector<int>& offsetsY, double* values) const;

    bool operator==(const TrackingImage&) const = default;

private:
    struct Level {
        int index;
        double scale;
    };
    Level levelFor(const AppearanceGrid& grid, const NormalizedRect& rect) const;
    std::optional<AppearanceGrid> sampledGrid(std::vector<double> x, std::vector<double> y, const NormalizedRect& rect) const;
};

} // namespace scrivel

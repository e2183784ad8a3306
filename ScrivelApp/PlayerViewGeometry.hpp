#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

// Points of the preview widget: origin at its top-left corner, y growing
// downwards (the toolkit's convention). Conversions to the bottom-up pixel
// convention of the mask geometry happen in the functions below.
struct ViewPoint {
    double x = 0;
    double y = 0;

    bool operator==(const ViewPoint&) const = default;
};

struct PlayerRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    // Half-open on the far edges, so touching rectangles share no point.
    bool contains(ViewPoint p) const { return !isEmpty() && p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }

    bool operator==(const PlayerRect&) const = default;
};

// Empty (all zero) when the rectangles do not overlap.
PlayerRect intersect(const PlayerRect& a, const PlayerRect& b);
// The rectangle spanned by two corners.
PlayerRect spanning(ViewPoint a, ViewPoint b);

// The preview's magnification and the offset of the magnified picture from
// centred, in view points.
struct Viewport {
    static constexpr double minZoom = 1;
    static constexpr double maxZoom = 8;

    double zoom = 1;
    ViewPoint pan;

    bool operator==(const Viewport&) const = default;
};

namespace PlayerViewGeometry {

// Clamps the pan to what keeps the magnified picture over the view (per
// axis ±extent × (zoom − 1) / 2; none at zoom 1) and returns the frame of the
// magnified layer inside `bounds`.
PlayerRect layout(Viewport& viewport, const PlayerRect& bounds);

// The picture of a video of the given pixel size fitted inside `frame`,
// aspect preserved and centred; empty for a video of no size.
PlayerRect aspectFit(const PlayerRect& frame, double videoWidth, double videoHeight);

// A pinch by `magnification` (0.1 = 10% larger) around `center`: zoom is
// clamped to [1, 8] and the point under `center` stays put.
void pinch(Viewport& viewport, double magnification, ViewPoint center, const PlayerRect& bounds);

// Panning by scroll deltas (toolkit sign: positive scrolls right/down, which
// moves the picture left/up). Only while magnified; returns false when the
// scroll is not the viewport's.
bool scroll(Viewport& viewport, double deltaX, double deltaY);

// The track whose padded mask contains `click`: masks of `regions` in order,
// padded as the renderer pads them in a frame of the video's pixel size; the
// smallest padded area wins, the first of equal areas. nullopt when the click
// is outside `videoRect` or hits nothing.
std::optional<std::int64_t> hitTrack(const std::vector<DetectedRegion>& regions, ViewPoint click,
                                     const PlayerRect& videoRect, double videoWidth, double videoHeight,
                                     const RenderSettings& settings);

} // namespace PlayerViewGeometry

} // namespace scrivel

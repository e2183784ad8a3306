#pragma once

namespace scrivel {

// A rectangle in frame-normalised coordinates: 0..1, origin top-left, y down.
// Width and height may be stored negative; every operation counts them as 0.
struct NormalizedRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double area() const;
    double intersectionArea(const NormalizedRect& other) const;
    // 0 when the union is empty, never NaN.
    double iou(const NormalizedRect& other) const;
    // The part inside the unit square; NaN coordinates clamp to 0.
    NormalizedRect clamped() const;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }

    bool operator==(const NormalizedRect&) const = default;
};

} // namespace scrivel

#pragma once

#include "ScrivelCore/NormalizedRect.hpp"
#include "ScrivelCore/ScanRecords.hpp"

namespace scrivel {

// Uniform scale then translation, from a scene's canonical coordinates into a
// frame (frame-normalised units): p -> p * scale + (tx, ty).
// Invariant: scale finite and > 0, tx and ty finite. A breach is a programming
// error and aborts with a message naming the values.
class MotionTransform {
public:
    MotionTransform(double scale, double tx, double ty);

    static MotionTransform identity() { return {1, 0, 0}; }
    // No invariant check: JSON decoding takes the values as sent.
    static MotionTransform unchecked(double scale, double tx, double ty) { return {Unchecked{}, scale, tx, ty}; }

    double scale() const { return scale_; }
    double tx() const { return tx_; }
    double ty() const { return ty_; }

    MotionTransform inverted() const;
    // Applies `other` first, then this transform.
    MotionTransform composed(const MotionTransform& other) const;
    NormalizedRect applying(const NormalizedRect& rect) const;
    DetectedRegion applying(const DetectedRegion& region) const;

    bool operator==(const MotionTransform&) const = default;

private:
    struct Unchecked {};
    MotionTransform(Unchecked, double scale, double tx, double ty) : scale_(scale), tx_(tx), ty_(ty) {}
    double scale_;
    double tx_;
    double ty_;
};

} // namespace scrivel

#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "ScrivelCore/NormalizedRect.hpp"
#include "tracking/TrackingImage.hpp"

namespace scrivel {

// How the picture moved around a place from one frame to the next, measured
// on the two frames' tracking images alone. A frame's motion estimate
// describes one part of the screen; a pane that scrolls on its own (a
// message list beside a still reading pane, an editor above a still
// terminal, a table scrolling sideways inside a still page) moves otherwise,
// and its text is followed by this instead.
class PaneShifts {
public:
    struct Shift {
        double dx = 0; // normalised units, previous frame to current
        double dy = 0;

        bool operator==(const Shift&) const = default;
    };

    // Both images must outlive this; images of different sizes give no shifts.
    PaneShifts(const TrackingImage& previous, const TrackingImage& current);

    // The shift of the picture in a window round the middle of `rect`
    // (about a quarter of the frame's height on each side), or else round a
    // quarter point of it, in whole pixels of the level below the one
    // measured; none where every such window is flat. It is where else to
    // look for a line, not where the line is. Answers are kept per window, so
    // the lines of one pane share one measurement. Safe to call from several
    // threads at once.
    std::optional<Shift> around(const NormalizedRect& rect) const;

private:
    std::optional<Shift> aroundPoint(double x, double y) const;
    std::optional<Shift> measure(int cellX, int cellY) const;

    const TrackingImage& previous_;
    const TrackingImage& current_;
    int level_ = -1; // the pyramid level measured on; -1 when none fits
    mutable std::mutex mutex_;
    mutable std::map<std::pair<int, int>, std::optional<Shift>> measured_; // guarded by mutex_
};

} // namespace scrivel

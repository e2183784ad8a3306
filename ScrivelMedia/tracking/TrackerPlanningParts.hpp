#pragma once

// Helpers the mask tracker's planning steps share between their source
// files (TrackerPlanning, TrackerFollowing, TrackerResolution). Included by
// those files only.

#include <algorithm>
#include <stop_token>
#include <string>

#include "ScrivelCore/Errors.hpp"
#include "tracking/TrackerPlanning.hpp"

namespace scrivel::tracking::detail {

// An empty needle is not "contained": a line without letters or numbers says
// nothing about which identity it belongs to.
inline bool containsText(const std::string& haystack, const std::string& needle)
{
    return !needle.empty() && haystack.find(needle) != std::string::npos;
}

inline double widthRatio(double a, double b)
{
    a = std::max(a, 0.0);
    b = std::max(b, 0.0);
    const double larger = std::max(a, b);
    return larger > 0 ? std::min(a, b) / larger : 1;
}

inline void throwIfStopped(const std::stop_token& stopToken)
{
    if (stopToken.stop_requested())
        throw OperationCancelled();
}

// Tracking places a line to a pixel or so, and a glyph's soft edge reaches
// a little past the ink a span is fitted to: a mask on the bare span leaves
// slivers of lettering, so spans grow by the span margins. `lineHeight` is
// in frame widths.
inline void growSpans(DetectedRegion& region, double lineHeight)
{
    const NormalizedRect& rect = region.rect;
    const double sideways = rect.width > 0 ? spanMarginSideways * lineHeight / rect.width : 0;
    for (TextSelection& selection : region.selections) {
        selection.rect.x -= sideways;
        selection.rect.width += 2 * sideways;
        selection.rect.y -= spanMarginAbove;
        selection.rect.height += spanMarginAbove + spanMarginBelow;
    }
}

inline double overlapShare(const NormalizedRect& a, const NormalizedRect& b)
{
    const double smaller = std::min(a.area(), b.area());
    return smaller > 0 ? a.intersectionArea(b) / smaller : 0.0;
}

} // namespace scrivel::tracking::detail

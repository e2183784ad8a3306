#include "ScrivelApp/PlayerViewGeometry.hpp"

#include <algorithm>
#include <cmath>

#include "render/BlurRenderer.hpp"

namespace scrivel {

PlayerRect intersect(const PlayerRect& a, const PlayerRect& b) {
    const double left = std::max(a.minX(), b.minX());
    const double top = std::max(a.minY(), b.minY());
    const double right = std::min(a.maxX(), b.maxX());
    const double bottom = std::min(a.maxY(), b.maxY());
    if (!(right > left) || !(bottom > top)) return {};
    return PlayerRect{left, top, right - left, bottom - top};
}

PlayerRect spanning(ViewPoint a, ViewPoint b) {
    return PlayerRect{std::min(a.x, b.x), std::min(a.y, b.y), std::abs(b.x - a.x), std::abs(b.y - a.y)};
}

namespace PlayerViewGeometry {

namespace {

double clampPan(double pan, double extent, double zoom) {
    const double limit = extent * (zoom - 1) * 0.5;
    // Lower limit first, then upper, so a negative limit (zoom < 1) ends at it.
    return std::min(std::max(pan, -limit), limit);
}

} // namespace

PlayerRect layout(Viewport& viewport, const PlayerRect& bounds) {
    viewport.pan.x = clampPan(viewport.pan.x, bounds.width, viewport.zoom);
    viewport.pan.y = clampPan(viewport.pan.y, bounds.height, viewport.zoom);
    const double width = bounds.width * viewport.zoom;
    const double height = bounds.height * viewport.zoom;
    return PlayerRect{bounds.midX() - width / 2 + viewport.pan.x, bounds.midY() - height / 2 + viewport.pan.y, width,
                    height};
}

PlayerRect aspectFit(const PlayerRect& frame, double videoWidth, double videoHeight) {
    if (!(videoWidth > 0) || !(videoHeight > 0) || frame.isEmpty()) return {};
    const double scale = std::min(frame.width / videoWidth, frame.height / videoHeight);
    const double width = videoWidth * scale;
    const double height = videoHeight * scale;
    return PlayerRect{frame.midX() - width / 2, frame.midY() - height / 2, width, height};
}

void pinch(Viewport& viewport, double magnification, ViewPoint center, const PlayerRect& bounds) {
    const double oldZoom = viewport.zoom;
    const double newZoom = std::clamp(oldZoom * (1 + magnification), Viewport::minZoom, Viewport::maxZoom);
    if (!std::isfinite(newZoom)) return;
    const double ratio = newZoom / oldZoom;
    viewport.zoom = newZoom;
    viewport.pan.x = (1 - ratio) * (center.x - bounds.midX()) + ratio * viewport.pan.x;
    viewport.pan.y = (1 - ratio) * (center.y - bounds.midY()) + ratio * viewport.pan.y;
}

bool scroll(Viewport& viewport, double deltaX, double deltaY) {
    if (!(viewport.zoom > 1)) return false;
    viewport.pan.x -= deltaX;
    viewport.pan.y -= deltaY;
    return true;
}

std::optional<std::int64_t> hitTrack(const std::vector<DetectedRegion>& regions, ViewPoint click,
                                     const PlayerRect& videoRect, double videoWidth, double videoHeight,
                                     const RenderSettings& settings) {
    if (videoRect.isEmpty() || !videoRect.contains(click)) return std::nullopt;
    // Video pixels with the origin at the bottom-left, as the masks are laid out.
    const double px = (click.x - videoRect.minX()) / videoRect.width * videoWidth;
    const double py = (videoRect.maxY() - click.y) / videoRect.height * videoHeight;
    const FrameRect extent{0, 0, videoWidth, videoHeight};

    std::optional<std::int64_t> best;
    double bestArea = 0;
    for (const DetectedRegion& region : regions) {
        for (const NormalizedRect& mask : region.maskRects()) {
            const std::optional<FrameRect> padded = BlurRenderer::maskRect(mask, extent, settings);
            if (!padded || padded->isEmpty()) continue;
            const bool inside =
                px >= padded->minX() && px < padded->maxX() && py >= padded->minY() && py < padded->maxY();
            if (!inside) continue;
            const double area = padded->width * padded->height;
            if (!best || area < bestArea) {
                best = region.trackID;
                bestArea = area;
            }
        }
    }
    return best;
}

} // namespace PlayerViewGeometry

} // namespace scrivel

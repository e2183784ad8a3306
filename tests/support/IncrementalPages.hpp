#pragma once

// Rendered screen-like pages, their scrolls and zooms, and the suite the
// incremental recognition tests share: the recognizer's result is checked
// against recognizing each frame from scratch.

#include "recognition/IncrementalRecognizer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "recognition/OcrEngine.hpp"
#include "recognition/TextRecognizer.hpp"
#include "support/OcrSuite.hpp"
#include "support/RenderedText.hpp"

namespace scrivel {
namespace {

using testing::Font;
using testing::TextCanvas;

// Sizes that are multiples of 32, so that detection sees the frame unscaled.
constexpr int kWidth = 640;
constexpr int kHeight = 640;
constexpr int kPageHeight = 900;
constexpr int kLineSpacing = 36;

const std::vector<std::string> kPageLines{
    "Weekly review notes",        "Contact: jane.doe@example.com", "Call +1 303 555 0164 today",
    "Budget approved for March",  "Refund sent to the customer",   "Ticket 48213 opened by Sofia",
    "Escalation queue is empty",  "Reply to nadia@deskline.app",   "Release notes for version 4",
    "Meeting moved to Thursday",  "Invoice 7721 paid in full",     "Security review next week",
    "Roadmap draft shared today", "Lunch order for the team",      "Server logs rotated nightly",
    "Backups verified on Monday", "Design review at 3 pm",         "Customer survey closes soon",
    "Holiday schedule posted",    "Support hours extended",        "Training video uploaded",
    "Printer on floor two fixed", "New hires start on Monday",     "Quarterly report is due",
};

inline cv::Mat renderPage()
{
    TextCanvas canvas(kWidth, kPageHeight, {255, 255, 255});
    for (std::size_t i = 0; i < kPageLines.size(); ++i)
        canvas.draw(kPageLines[i], {24, 40 + kLineSpacing * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
    return canvas.pixels().clone();
}

inline Image view(const cv::Mat& page, int top) { return Image(page(cv::Rect(0, top, kWidth, kHeight)).clone()); }

inline ScanSettings settings()
{
    ScanSettings s;
    s.confidence = 0.3F;
    s.blurEmails = s.blurPhones = s.blurHan = true;
    return s;
}

// A pure scroll as the registration reports it: content moved `top` pixels
// up since the scene began.
inline IncrementalRecognizer::FrameContext scrolledBy(int top)
{
    return {MotionTransform(1, 0, -static_cast<double>(top) / kHeight), 0};
}

// The texts of the lines clear of the frame's top and bottom edges, without
// spaces. Where detection looked (a window, the whole frame) may move a box
// by a pixel, which can change the spaces the model reads, and lines cut by
// the frame's edge split differently.
inline std::multiset<std::string> texts(const std::vector<DetectedRegion>& regions)
{
    std::multiset<std::string> out;
    for (const auto& region : regions) {
        if (region.rect.y < 0.03 || region.rect.maxY() > 0.97)
            continue;
        std::string text = region.text;
        std::erase(text, ' ');
        out.insert(text);
    }
    return out;
}

// White background pixels a few levels off, in a pattern that differs from
// place to place: equal text drawn twice is no longer byte for byte equal,
// but the same picture but for coding noise.
inline cv::Mat withBackgroundNoise(const cv::Mat& frame)
{
    cv::Mat noisy = frame.clone();
    noisy.forEach<cv::Vec3b>([](cv::Vec3b& pixel, const int* at) {
        if (pixel == cv::Vec3b(255, 255, 255))
            pixel = cv::Vec3b::all(static_cast<std::uint8_t>(255 - (7 * at[0] + 3 * at[1]) % 5));
    });
    return noisy;
}

// `frame` under a popup filling `area` with `colour`, its text "Saved to
// ann@corp.io" on `baseline`.
inline cv::Mat withPopup(const Image& frame, cv::Rect area, cv::Scalar colour, cv::Point baseline)
{
    TextCanvas popup(kWidth, kHeight, {255, 255, 255});
    frame.pixels.copyTo(popup.pixels());
    popup.fill(area, colour);
    popup.draw("Saved to ann@corp.io", baseline, 24, Font::sans, {20, 20, 20});
    return popup.pixels();
}

inline bool anyTextContains(const std::vector<DetectedRegion>& regions, const std::string& part)
{
    return std::any_of(regions.begin(), regions.end(),
                       [&](const DetectedRegion& r) { return r.text.find(part) != std::string::npos; });
}

// Eight short lines, an address with a number, and three indented lines
// that stay in view through the zooms below.
inline cv::Mat pageWithAnAddress()
{
    TextCanvas canvas(kWidth, kHeight, {255, 255, 255});
    for (std::size_t i = 0; i < 8; ++i)
        canvas.draw(kPageLines[i], {24, 40 + kLineSpacing * static_cast<int>(i)}, 22, Font::sans, {30, 30, 30});
    canvas.draw("anna.berg@example.org wire 4417", {24, 40 + kLineSpacing * 9}, 22, Font::sans, {30, 30, 30});
    for (int i = 0; i < 3; ++i)
        canvas.draw(kPageLines[8 + i], {300, 40 + kLineSpacing * (11 + i)}, 22, Font::sans, {30, 30, 30});
    return canvas.pixels().clone();
}

// The page scaled about a point right of where its lines start: at 1.1
// their first characters lie beyond the left edge, at 1.05 all are in view.
constexpr double kZoomAnchorX = 500;

inline Image zoomedAboutAnchor(const cv::Mat& page, double zoom)
{
    const cv::Mat transform = (cv::Mat_<double>(2, 3) << zoom, 0, (1 - zoom) * kZoomAnchorX, 0, zoom, 0);
    cv::Mat scaled;
    cv::warpAffine(page, scaled, transform, page.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(255));
    return Image(scaled);
}

inline IncrementalRecognizer::FrameContext motionAboutAnchor(double zoom)
{
    return {MotionTransform(zoom, (1 - zoom) * kZoomAnchorX / kWidth, 0), 0};
}

// A region's rect (normalised, origin top-left) in pixels of a frame of `size`.
inline cv::Rect rounded(const NormalizedRect& rect, cv::Size size)
{
    return cv::Rect(cv::Point(static_cast<int>(std::floor(rect.x * size.width)),
                              static_cast<int>(std::floor(rect.y * size.height))),
                    cv::Point(static_cast<int>(std::ceil(rect.maxX() * size.width)),
                              static_cast<int>(std::ceil(rect.maxY() * size.height))));
}

class IncrementalRecognition : public testing::OcrSuite {
protected:
    // Recognition of the frame from scratch, as the full scan does it.
    static std::vector<DetectedRegion> full(const Image& frame)
    {
        return TextRecognizer(engine_).recognize(frame, settings());
    }

    // Every line the recognizer kept, read afresh from `frame`: what its
    // result must be if no cached reading is stale or misplaced.
    static std::vector<DetectedRegion> freshlyRead(const Image& frame, const std::vector<cv::Rect>& lines)
    {
        std::vector<OcrLine> read;
        for (const cv::Rect& line : lines)
            if (auto l = engine_->readLine(frame.pixels, line))
                read.push_back(std::move(*l));
        std::vector<const TextObservation*> observations;
        for (const auto& line : read)
            observations.push_back(&line);
        return TextRecognizer::regions(observations, static_cast<double>(frame.width()) / frame.height(), settings());
    }
};

} // namespace
} // namespace scrivel

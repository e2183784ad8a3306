#include "recognition/IncrementalRecognizerParts.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/core.hpp>

namespace scrivel {

namespace incremental {

// Whether two crops of one size and type are the same picture but for
// coding noise, by the rule frames are compared by.
bool samePictureWithinNoise(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    double largest = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    if (largest > kLoneChangeLevels)
        return false;
    if (largest <= kNoiseTolerance)
        return true;
    return ChangeMap(a, b, {0, 0}).unchanged(cv::Rect({}, a.size()));
}

// How far the picture's scale changed between two frames, in pixels across
// the frame; nothing when either lacks a motion or they lie in different
// scenes.
std::optional<double> scaleChangePixels(const IncrementalRecognizer::FrameContext& previous,
                                        const IncrementalRecognizer::FrameContext& current, cv::Size frame)
{
    if (!previous.motion || !current.motion || previous.sceneID != current.sceneID)
        return std::nullopt;
    return std::abs(current.motion->scale() / previous.motion->scale() - 1) * std::max(frame.width, frame.height);
}

// Whole-pixel displacements worth trying, likeliest first: the
// registration's motion since the previous frame when that motion is a pure
// shift (scale changing by less than a pixel across the frame), none, and
// the motion with a pixel of slack.
std::vector<cv::Point> candidateShifts(const IncrementalRecognizer::FrameContext& previous,
                                       const IncrementalRecognizer::FrameContext& current, cv::Size frame)
{
    std::vector<cv::Point> shifts{{0, 0}};
    const std::optional<double> scaleChange = scaleChangePixels(previous, current, frame);
    if (!scaleChange || !(*scaleChange < 1))
        return shifts;
    const MotionTransform& a = *previous.motion;
    const MotionTransform& b = *current.motion;
    // Where the frame's centre in the previous frame has gone.
    const double px = (0.5 - a.tx()) / a.scale() * b.scale() + b.tx();
    const double py = (0.5 - a.ty()) / a.scale() * b.scale() + b.ty();
    const double dx = (px - 0.5) * frame.width;
    const double dy = (py - 0.5) * frame.height;
    if (!std::isfinite(dx) || !std::isfinite(dy) || std::abs(dx) >= frame.width || std::abs(dy) >= frame.height)
        return shifts;
    const cv::Point centre(static_cast<int>(std::lround(dx)), static_cast<int>(std::lround(dy)));
    if (centre != cv::Point(0, 0))
        shifts.insert(shifts.begin(), centre);
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x)
            if (cv::Point shift = centre + cv::Point(x, y); shift != cv::Point(0, 0) && shift != centre)
                shifts.push_back(shift);
    return shifts;
}

// Rows of each tile sampled by estimatedUnchangedTiles().
constexpr std::array<int, 4> kSampledTileRows{kTile / 8, 3 * kTile / 8, 5 * kTile / 8, 7 * kTile / 8};

// How many tiles a ChangeMap of `frame` against `reference` moved by `shift`
// would find unchanged, estimated from four rows of each tile, a quarter of
// a tile apart (text a few rows high slips between two): a tile counts when
// no sampled row has a channel beyond the noise. Coding noise can make a
// sampled row differ where the map, which looks at neighbourhoods, finds no
// change, so this undercounts on noisy frames; a change between the sampled
// rows makes it overcount.
int estimatedUnchangedTiles(const cv::Mat& frame, const cv::Mat& reference, cv::Point shift)
{
    const cv::Rect overlap = cv::Rect({}, frame.size()) & (cv::Rect({}, reference.size()) + shift);
    const auto pixelBytes = static_cast<std::size_t>(frame.elemSize());
    int count = 0;
    for (int y0 = 0; y0 + kTile <= frame.rows; y0 += kTile) {
        if (y0 < overlap.y || y0 + kTile > overlap.br().y)
            continue;
        for (int x0 = 0; x0 + kTile <= frame.cols; x0 += kTile) {
            if (x0 < overlap.x || x0 + kTile > overlap.br().x)
                continue;
            const bool unchanged = std::none_of(kSampledTileRows.begin(), kSampledTileRows.end(), [&](int row) {
                const int y = y0 + row;
                return bytesDifferBeyondNoise(frame.ptr<std::uint8_t>(y) + x0 * pixelBytes,
                                              reference.ptr<std::uint8_t>(y - shift.y) + (x0 - shift.x) * pixelBytes,
                                              kTile * pixelBytes);
            });
            count += unchanged ? 1 : 0;
        }
    }
    return count;
}

} // namespace incremental

namespace {

// Each channel's median over a 3-channel crop: the colour of its background.
cv::Vec3b medianColour(const cv::Mat& crop)
{
    std::array<std::array<int, 256>, 3> counts{};
    for (int y = 0; y < crop.rows; ++y) {
        const auto* pixel = crop.ptr<cv::Vec3b>(y);
        for (int x = 0; x < crop.cols; ++x)
            for (int c = 0; c < 3; ++c)
                ++counts[c][pixel[x][c]];
    }
    cv::Vec3b median;
    const int half = static_cast<int>(crop.total() / 2);
    for (int c = 0; c < 3; ++c) {
        int seen = 0, level = 0;
        while ((seen += counts[c][level]) <= half)
            ++level;
        median[c] = static_cast<std::uint8_t>(level);
    }
    return median;
}

// Whether every pixel of `crop` outside `inside` lies within the noise of
// `background`.
bool plainOutside(const cv::Mat& crop, cv::Rect inside, cv::Vec3b background)
{
    for (int y = 0; y < crop.rows; ++y) {
        const auto* pixel = crop.ptr<cv::Vec3b>(y);
        const bool rowInside = y >= inside.y && y < inside.br().y;
        for (int x = 0; x < crop.cols; ++x) {
            if (rowInside && x == inside.x) {
                x = inside.br().x - 1;
                continue;
            }
            for (int c = 0; c < 3; ++c)
                if (std::abs(pixel[x][c] - background[c]) > kNoiseTolerance)
                    return false;
        }
    }
    return true;
}

} // namespace

bool IncrementalRecognizer::samePictureMoved(const cv::Mat& line, const cv::Mat& read, cv::Point offset)
{
    if (line.type() != CV_8UC3 || read.type() != CV_8UC3)
        return false;
    // Where they overlap, the rule frames are compared by.
    const cv::Rect overlap = cv::Rect({}, line.size()) & (cv::Rect({}, read.size()) + offset);
    if (overlap.empty() || !samePictureWithinNoise(line(overlap), read(overlap - offset)))
        return false;
    const cv::Vec3b background = medianColour(line(overlap));
    return plainOutside(line, overlap, background) && plainOutside(read, overlap - offset, background);
}

bool IncrementalRecognizer::sameWithinNoise(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size() || a.type() != b.type() || a.depth() != CV_8U)
        return false;
    if (a.data == b.data && a.step == b.step)
        return true;
    for (int y = 0; y < a.rows; ++y)
        if (rowDiffersBeyondNoise(a, b, y))
            return false;
    return true;
}

} // namespace scrivel

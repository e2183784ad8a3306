#include <array>
#include <cmath>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/display.h>
}

#include "decode/VideoOrientation.hpp"

using namespace scrivel;

namespace {

// The picture the display matrix asks for, computed pixel by pixel from the
// matrix itself: (x, y) -> (a·x + c·y, b·x + d·y) on pixel centres (y down),
// then moved so that the result starts at the origin.
cv::Mat oracle(const cv::Mat& stored, const std::array<std::int32_t, 9>& m)
{
    const double a = m[0] / 65536.0, b = m[1] / 65536.0, c = m[3] / 65536.0, d = m[4] / 65536.0;
    const bool swap = std::abs(a) < 0.5;
    cv::Mat upright(swap ? stored.cols : stored.rows, swap ? stored.rows : stored.cols, stored.type());
    double minX = 1e9, minY = 1e9;
    for (const auto& corner : {cv::Point2d(0.5, 0.5), cv::Point2d(stored.cols - 0.5, 0.5), cv::Point2d(0.5, stored.rows - 0.5),
             cv::Point2d(stored.cols - 0.5, stored.rows - 0.5)}) {
        minX = std::min(minX, a * corner.x + c * corner.y);
        minY = std::min(minY, b * corner.x + d * corner.y);
    }
    for (int y = 0; y < stored.rows; ++y)
        for (int x = 0; x < stored.cols; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const int ux = static_cast<int>(std::lround(a * px + c * py - minX));
            const int uy = static_cast<int>(std::lround(b * px + d * py - minY));
            upright.at<std::uint8_t>(uy, ux) = stored.at<std::uint8_t>(y, x);
        }
    return upright;
}

struct MatrixCase {
    const char* name;
    double rotationDegrees; // clockwise
    bool flipHorizontal;
    bool flipVertical;
    VideoOrientation::Operation expected;
};

TEST(VideoOrientation, EveryQuarterTurnAndMirroringTurnsFramesAsTheMatrixSays)
{
    using Op = VideoOrientation::Operation;
    const MatrixCase cases[] = {
        {"identity", 0, false, false, Op::none},
        {"clockwise 90", 90, false, false, Op::rotateClockwise},
        {"180", 180, false, false, Op::rotate180},
        {"clockwise 270", 270, false, false, Op::rotateCounterClockwise},
        {"mirrored", 0, true, false, Op::flipHorizontal},
        {"upside-down mirror", 0, false, true, Op::flipVertical},
        {"90 then mirrored", 90, true, false, Op::transpose},
        {"270 then mirrored", 270, true, false, Op::transverse},
    };
    cv::Mat stored(3, 5, CV_8UC1);
    for (int i = 0; i < 15; ++i)
        stored.at<std::uint8_t>(i / 5, i % 5) = static_cast<std::uint8_t>(10 * i);

    for (const MatrixCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<std::int32_t, 9> matrix{};
        av_display_rotation_set(matrix.data(), c.rotationDegrees);
        av_display_matrix_flip(matrix.data(), c.flipHorizontal, c.flipVertical);
        const VideoOrientation orientation = VideoOrientation::fromMatrix(matrix.data(), 1920, 1080);
        EXPECT_EQ(orientation.operation, c.expected);
        const bool quarter = std::fmod(c.rotationDegrees, 180) != 0;
        EXPECT_NEAR(orientation.displayWidth, quarter ? 1080 : 1920, 1e-3);
        EXPECT_NEAR(orientation.displayHeight, quarter ? 1920 : 1080, 1e-3);
        EXPECT_EQ(orientation.swapsAxes(), quarter);
        const cv::Mat upright = orientation.apply(stored);
        const cv::Mat expected = oracle(stored, matrix);
        ASSERT_EQ(upright.size(), expected.size());
        EXPECT_EQ(cv::norm(upright, expected, cv::NORM_INF), 0) << "got\n" << upright << "\nexpected\n" << expected;
    }
}

TEST(VideoOrientation, ZeroSizedTrackAndOddAnglesKeepTheStoredPicture)
{
    std::array<std::int32_t, 9> matrix{};
    av_display_rotation_set(matrix.data(), 30);
    const VideoOrientation tilted = VideoOrientation::fromMatrix(matrix.data(), 100, 50);
    EXPECT_EQ(tilted.operation, VideoOrientation::Operation::none);
    // The bounding box of the turned rectangle, as the platform reports it.
    EXPECT_NEAR(tilted.displayWidth, 100 * std::cos(M_PI / 6) + 50 * std::sin(M_PI / 6), 0.01);

    av_display_rotation_set(matrix.data(), 90);
    const VideoOrientation empty = VideoOrientation::fromMatrix(matrix.data(), 0, 0);
    EXPECT_EQ(empty.displayWidth, 0);
    EXPECT_EQ(empty.displayHeight, 0);
}

} // namespace

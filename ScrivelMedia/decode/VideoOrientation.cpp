#include "decode/VideoOrientation.hpp"

#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include "decode/ConversionTarget.hpp"

namespace scrivel {

VideoOrientation VideoOrientation::of(const AVStream& stream)
{
    const double width = stream.codecpar->width;
    const double height = stream.codecpar->height;
    std::size_t size = 0;
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (!matrix || size < 9 * sizeof(std::int32_t))
        return VideoOrientation{Operation::none, width, height};
    return fromMatrix(matrix, width, height);
}

VideoOrientation VideoOrientation::fromMatrix(const std::int32_t* matrix, double width, double height)
{
    VideoOrientation result;
    // Row vector convention: (x, y, 1) * M, so a = m[0], b = m[1], c = m[3], d = m[4].
    const double a = matrix[0] / 65536.0, b = matrix[1] / 65536.0;
    const double c = matrix[3] / 65536.0, d = matrix[4] / 65536.0;
    // The bounding box of the mapped rectangle, as the platform reports it.
    result.displayWidth = std::abs(a * width) + std::abs(c * height);
    result.displayHeight = std::abs(b * width) + std::abs(d * height);

    // Same reading of the matrix as the ffmpeg tool's automatic rotation.
    double theta = -std::round(av_display_rotation_get(matrix));
    if (std::isnan(theta))
        return result;
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    if (std::abs(theta - 90) < 1)
        result.operation = matrix[3] > 0 ? Operation::transpose : Operation::rotateClockwise;
    else if (std::abs(theta - 270) < 1)
        result.operation = matrix[3] < 0 ? Operation::transverse : Operation::rotateCounterClockwise;
    else if (std::abs(theta - 180) < 1) {
        const bool h = matrix[0] < 0, v = matrix[4] < 0;
        result.operation = h && v ? Operation::rotate180
            : h                   ? Operation::flipHorizontal
            : v                   ? Operation::flipVertical
                                  : Operation::none;
    } else if (std::abs(theta) < 1 && matrix[4] < 0)
        result.operation = Operation::flipVertical;
    return result;
}

bool VideoOrientation::swapsAxes() const
{
    switch (operation) {
    case Operation::rotateClockwise:
    case Operation::rotateCounterClockwise:
    case Operation::transpose:
    case Operation::transverse:
        return true;
    default:
        return false;
    }
}

cv::Mat VideoOrientation::apply(const cv::Mat& stored) const
{
    if (operation == Operation::none)
        return stored;
    // Upright frames go on to the colour converter (the export's encoder
    // input), whose block reads run past a row's end as its writes do.
    cv::Mat upright;
    if (stored.type() == CV_8UC3)
        upright = swapsAxes() ? conversionTarget(stored.cols, stored.rows) : conversionTarget(stored.rows, stored.cols);
    switch (operation) {
    case Operation::none:
        return stored;
    case Operation::rotateClockwise:
        cv::rotate(stored, upright, cv::ROTATE_90_CLOCKWISE);
        break;
    case Operation::rotateCounterClockwise:
        cv::rotate(stored, upright, cv::ROTATE_90_COUNTERCLOCKWISE);
        break;
    case Operation::rotate180:
        cv::rotate(stored, upright, cv::ROTATE_180);
        break;
    case Operation::transpose:
        cv::transpose(stored, upright);
        break;
    case Operation::transverse:
        cv::transpose(stored, upright);
        cv::flip(upright, upright, -1);
        break;
    case Operation::flipHorizontal:
        cv::flip(stored, upright, 1);
        break;
    case Operation::flipVertical:
        cv::flip(stored, upright, 0);
        break;
    }
    return upright;
}

} // namespace scrivel

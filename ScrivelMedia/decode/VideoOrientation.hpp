#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

struct AVStream;

namespace scrivel {

// How a stored frame is turned upright, from the stream's display matrix
// (the container's preferred transform). Only quarter turns and mirrorings
// are applied to pixels; any other angle leaves the frame as stored.
struct VideoOrientation {
    enum class Operation { none, rotateClockwise, rotateCounterClockwise, rotate180, transpose, transverse, flipHorizontal, flipVertical };
    Operation operation = Operation::none;
    // The stored rectangle mapped through the matrix: displayed size before rounding.
    double displayWidth = 0;
    double displayHeight = 0;

    static VideoOrientation of(const AVStream& stream);
    // Stored size -> displayed size for a matrix given as FFmpeg stores it
    // (nine 32-bit values, 16.16 fixed point except the last column 2.30).
    static VideoOrientation fromMatrix(const std::int32_t* matrix, double width, double height);

    bool swapsAxes() const;
    // Returns `stored` itself when nothing is to be done.
    cv::Mat apply(const cv::Mat& stored) const;

    bool operator==(const VideoOrientation&) const = default;
};

} // namespace scrivel

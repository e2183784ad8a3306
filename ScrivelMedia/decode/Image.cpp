#include "decode/Image.hpp"

#include <cstring>
#include <stdexcept>

namespace scrivel {

Image::Image(cv::Mat bgr) : pixels(std::move(bgr))
{
    if (!pixels.empty() && pixels.type() != CV_8UC3)
        throw std::invalid_argument("Image expects 8-bit BGR pixels");
}

bool sameBytes(const Image& a, const Image& b)
{
    if (a.pixels.size() != b.pixels.size() || a.pixels.type() != b.pixels.type())
        return false;
    if (a.pixels.data == b.pixels.data && a.pixels.step == b.pixels.step)
        return true;
    const std::size_t rowBytes = static_cast<std::size_t>(a.pixels.cols) * a.pixels.elemSize();
    for (int row = 0; row < a.pixels.rows; ++row)
        if (std::memcmp(a.pixels.ptr(row), b.pixels.ptr(row), rowBytes) != 0)
            return false;
    return true;
}

} // namespace scrivel

#include "ScrivelMedia/Image.hpp"

#include <stdexcept>

namespace scrivel {

Image::Image(cv::Mat bgr) : pixels(std::move(bgr))
{
    if (!pixels.empty() && pixels.type() != CV_8UC3)
        throw std::invalid_argument("Image expects 8-bit BGR pixels");
}

} // namespace scrivel

#pragma once

#include <opencv2/core.hpp>

namespace scrivel {

// A continuous BGR image for swscale to write into. Its vector loops store
// whole blocks of pixels, so a row whose width is not a multiple of the
// block runs past its end: into the next row, which is written after it,
// and on the last row into spare rows kept below the image in the same
// allocation, never into the heap beyond it.
inline cv::Mat conversionTarget(int rows, int cols)
{
    constexpr int kSpareBytes = 256; // several times the widest store
    const int rowBytes = std::max(1, cols * 3);
    const int spareRows = (kSpareBytes + rowBytes - 1) / rowBytes;
    cv::Mat padded(rows + spareRows, cols, CV_8UC3);
    return padded.rowRange(0, rows);
}

} // namespace scrivel

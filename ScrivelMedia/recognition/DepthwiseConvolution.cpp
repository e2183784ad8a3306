#include "recognition/NetworkLayers.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string_view>

#include <opencv2/core.hpp>

#include "recognition/NetworkLayersParts.hpp"

// The depthwise convolution: each channel's kernel slid along contiguous rows.

namespace scrivel {

using namespace layers;

namespace {

struct PlaneGeometry {
    int paddedWidth = 0;
    int outHeight = 0;
    int outWidth = 0;
    int strideY = 1;
};

// One output plane from a zero-padded input plane, for a fixed kernel size
// and horizontal stride: each output row sums kernel rows of K taps along
// contiguous input rows, which the compiler turns into vector code.
template <int K, int StrideX>
SCRIVEL_VECTOR_CLONES void convolvePlaneFixed(const float* padded, const float* kernel, float bias,
                                             const PlaneGeometry& g, float* out)
{
    for (int oy = 0; oy < g.outHeight; ++oy) {
        float* row = out + static_cast<std::ptrdiff_t>(oy) * g.outWidth;
        for (int x = 0; x < g.outWidth; ++x)
            row[x] = bias;
        for (int ky = 0; ky < K; ++ky) {
            const float* source = padded + static_cast<std::ptrdiff_t>(oy * g.strideY + ky) * g.paddedWidth;
            const float* taps = kernel + ky * K;
            for (int x = 0; x < g.outWidth; ++x) {
                float sum = row[x];
                for (int kx = 0; kx < K; ++kx)
                    sum += taps[kx] * source[x * StrideX + kx];
                row[x] = sum;
            }
        }
    }
}

// Stride-1 rows with the sums of up to four vectors of outputs held in
// registers across all K × K taps: the loop above reloads and stores its
// sums once per kernel row, and adds into a single chain. Same order of
// additions (bias, then the taps row by row), so the same results.
template <typename Vector, int K, int Blocks>
[[gnu::always_inline]] inline void convolveBlocks(const float* source, int paddedWidth, const float* kernel,
                                                  float bias, float* row, int x)
{
    constexpr int kLanes = sizeof(Vector) / sizeof(float);
    Vector sums[Blocks];
    for (int b = 0; b < Blocks; ++b)
        sums[b] = Vector{} + bias;
    for (int ky = 0; ky < K; ++ky) {
        const float* line = source + static_cast<std::ptrdiff_t>(ky) * paddedWidth + x;
        for (int kx = 0; kx < K; ++kx) {
            const float tap = kernel[ky * K + kx];
            for (int b = 0; b < Blocks; ++b) {
                Vector values;
                std::memcpy(&values, line + b * kLanes + kx, sizeof(Vector));
                sums[b] += values * tap;
            }
        }
    }
    for (int b = 0; b < Blocks; ++b)
        std::memcpy(row + x + b * kLanes, &sums[b], sizeof(Vector));
}

template <typename Vector, int K>
[[gnu::always_inline]] inline void convolvePlaneStride1(const float* padded, const float* kernel, float bias,
                                                        const PlaneGeometry& g, float* out)
{
    constexpr int kLanes = sizeof(Vector) / sizeof(float);
    const int width = g.outWidth;
    for (int oy = 0; oy < g.outHeight; ++oy) {
        const float* source = padded + static_cast<std::ptrdiff_t>(oy * g.strideY) * g.paddedWidth;
        float* row = out + static_cast<std::ptrdiff_t>(oy) * width;
        int x = 0;
        for (; x + 4 * kLanes <= width; x += 4 * kLanes)
            convolveBlocks<Vector, K, 4>(source, g.paddedWidth, kernel, bias, row, x);
        for (; x + kLanes <= width; x += kLanes)
            convolveBlocks<Vector, K, 1>(source, g.paddedWidth, kernel, bias, row, x);
        if (x < width && width >= kLanes) {
            // The last vector ends at the row's end, recomputing a few outputs.
            convolveBlocks<Vector, K, 1>(source, g.paddedWidth, kernel, bias, row, width - kLanes);
        } else {
            for (; x < width; ++x) {
                float sum = bias;
                for (int ky = 0; ky < K; ++ky)
                    for (int kx = 0; kx < K; ++kx)
                        sum += kernel[ky * K + kx] * source[static_cast<std::ptrdiff_t>(ky) * g.paddedWidth + x + kx];
                row[x] = sum;
            }
        }
    }
}

using PlaneConvolution = void (*)(const float* padded, const float* kernel, float bias, const PlaneGeometry& g,
                                  float* out);

#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
template <int K>
__attribute__((target("arch=x86-64-v4"))) void convolvePlaneStride1X16(const float* padded, const float* kernel,
                                                                      float bias, const PlaneGeometry& g, float* out)
{
    convolvePlaneStride1<FloatX16, K>(padded, kernel, bias, g, out);
}

template <int K>
__attribute__((target("arch=x86-64-v3"))) void convolvePlaneStride1X8(const float* padded, const float* kernel,
                                                                     float bias, const PlaneGeometry& g, float* out)
{
    convolvePlaneStride1<FloatX8, K>(padded, kernel, bias, g, out);
}
#endif

template <int K>
void convolvePlaneStride1X4(const float* padded, const float* kernel, float bias, const PlaneGeometry& g, float* out)
{
    convolvePlaneStride1<FloatX4, K>(padded, kernel, bias, g, out);
}

template <int K>
PlaneConvolution planeConvolutionStride1(int lanes)
{
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    if (lanes == 16)
        return &convolvePlaneStride1X16<K>;
    if (lanes == 8)
        return &convolvePlaneStride1X8<K>;
#endif
    (void)lanes;
    return &convolvePlaneStride1X4<K>;
}

void convolvePlaneAny(const float* padded, const float* kernel, float bias, int k, int strideX,
                      const PlaneGeometry& g, float* out)
{
    for (int oy = 0; oy < g.outHeight; ++oy) {
        float* row = out + static_cast<std::ptrdiff_t>(oy) * g.outWidth;
        for (int x = 0; x < g.outWidth; ++x) {
            float sum = bias;
            for (int ky = 0; ky < k; ++ky) {
                const float* source = padded + static_cast<std::ptrdiff_t>(oy * g.strideY + ky) * g.paddedWidth;
                for (int kx = 0; kx < k; ++kx)
                    sum += kernel[ky * k + kx] * source[x * strideX + kx];
            }
            row[x] = sum;
        }
    }
}

void convolvePlane(const float* padded, const float* kernel, float bias, int k, int strideX, int lanes,
                   const PlaneGeometry& g, float* out)
{
    if (k == 3 && strideX == 1)
        planeConvolutionStride1<3>(lanes)(padded, kernel, bias, g, out);
    else if (k == 5 && strideX == 1)
        planeConvolutionStride1<5>(lanes)(padded, kernel, bias, g, out);
    else if (k == 3 && strideX == 2)
        convolvePlaneFixed<3, 2>(padded, kernel, bias, g, out);
    else if (k == 5 && strideX == 2)
        convolvePlaneFixed<5, 2>(padded, kernel, bias, g, out);
    else
        convolvePlaneAny(padded, kernel, bias, k, strideX, g, out);
}

} // namespace

DepthwiseConvolutionLayer::DepthwiseConvolutionLayer(const cv::dnn::LayerParams& params)
{
    setParamsFrom(params);
    refuseUnknownAttributes(params, kType,
                            {"kernel", "stride_h", "stride_w", "pad_h", "pad_w", "lane_limit", "activation",
                             "act_scale", "act_shift"});
    kernel_ = positiveParam(params, "kernel", 1);
    strideY_ = positiveParam(params, "stride_h", 1);
    strideX_ = positiveParam(params, "stride_w", 1);
    padY_ = positiveParam(params, "pad_h", 0);
    padX_ = positiveParam(params, "pad_w", 0);
    laneLimit_ = params.get<int>("lane_limit", 0);
    activation_ = ConvolutionActivation::fromParams(params);
    if (blobs.empty() || blobs.size() > 2)
        CV_Error(cv::Error::StsBadArg, "ScrivelDepthwiseConv takes weights and an optional bias");
    const cv::Mat& weights = blobs[0];
    if (weights.type() != CV_32F || weights.dims != 4 || weights.size[1] != 1 || weights.size[2] != kernel_ ||
        weights.size[3] != kernel_)
        CV_Error(cv::Error::StsBadArg, "ScrivelDepthwiseConv weights must be float [C, 1, k, k]");
    if (blobs.size() == 2 && (blobs[1].type() != CV_32F || blobs[1].total() != static_cast<std::size_t>(weights.size[0])))
        CV_Error(cv::Error::StsBadArg, "ScrivelDepthwiseConv bias must hold one float per channel");
}

bool DepthwiseConvolutionLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int,
                                                std::vector<cv::dnn::MatShape>& outputs,
                                                std::vector<cv::dnn::MatShape>&) const
{
    if (inputs.size() != 1 || inputs[0].size() != 4)
        CV_Error(cv::Error::StsBadArg, "ScrivelDepthwiseConv takes one NCHW input");
    const cv::dnn::MatShape& in = inputs[0];
    if (in[1] != blobs[0].size[0])
        CV_Error(cv::Error::StsBadArg, "ScrivelDepthwiseConv input channels differ from its weights");
    // The importer asks with the model's declared input size, where a size
    // left open (zero or less) stays open.
    const auto outSize = [](int size, int pad, int kernel, int stride) {
        if (size <= 0)
            return size;
        const int out = (size + 2 * pad - kernel) / stride + 1;
        if (out < 1)
            CV_Error(cv::Error::StsBadArg, "ScrivelDepthwiseConv input is smaller than its kernel");
        return out;
    };
    outputs.assign(1, cv::dnn::MatShape{in[0], in[1], outSize(in[2], padY_, kernel_, strideY_),
                                        outSize(in[3], padX_, kernel_, strideX_)});
    return false;
}

void DepthwiseConvolutionLayer::forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray,
                                        cv::OutputArrayOfArrays)
{
    const std::vector<cv::Mat> inputs = matsOf(inputsArray);
    std::vector<cv::Mat> outputs = matsOf(outputsArray);
    const cv::Mat& input = inputs[0];
    cv::Mat& output = outputs[0];

    const int channels = input.size[1];
    const int height = input.size[2];
    const int width = input.size[3];
    PlaneGeometry geometry;
    geometry.paddedWidth = width + 2 * padX_;
    geometry.outHeight = output.size[2];
    geometry.outWidth = output.size[3];
    geometry.strideY = strideY_;
    const int paddedHeight = height + 2 * padY_;
    const std::size_t inPlane = static_cast<std::size_t>(height) * width;
    const std::size_t outPlane = static_cast<std::size_t>(geometry.outHeight) * geometry.outWidth;
    const int kernelArea = kernel_ * kernel_;
    const auto* weights = blobs[0].ptr<float>();
    const float* bias = blobs.size() == 2 ? blobs[1].ptr<float>() : nullptr;
    const auto* source = input.ptr<float>();
    auto* target = output.ptr<float>();

    const int lanes = vectorLanes(laneLimit_);
    cv::parallel_for_(cv::Range(0, input.size[0] * channels), [&](const cv::Range& planes) {
        // Zero borders stay zero; only the interior is rewritten per plane.
        std::vector<float> padded(static_cast<std::size_t>(paddedHeight) * geometry.paddedWidth, 0.0F);
        for (int plane = planes.start; plane < planes.end; ++plane) {
            const int channel = plane % channels;
            const float* in = source + inPlane * plane;
            for (int y = 0; y < height; ++y)
                std::memcpy(padded.data() + static_cast<std::size_t>(y + padY_) * geometry.paddedWidth + padX_,
                            in + static_cast<std::size_t>(y) * width, sizeof(float) * width);
            float* out = target + outPlane * plane;
            convolvePlane(padded.data(), weights + static_cast<std::ptrdiff_t>(channel) * kernelArea,
                          bias ? bias[channel] : 0.0F, kernel_, strideX_, lanes, geometry, out);
            activate(out, activation_, outPlane);
        }
    });
}

} // namespace scrivel

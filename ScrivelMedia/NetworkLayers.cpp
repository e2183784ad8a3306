#include "ScrivelMedia/NetworkLayers.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <opencv2/core.hpp>

#include "ScrivelMedia/VectorClones.hpp"

namespace scrivel {

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

void convolvePlane(const float* padded, const float* kernel, float bias, int k, int strideX, const PlaneGeometry& g,
                   float* out)
{
    if (k == 3 && strideX == 1)
        convolvePlaneFixed<3, 1>(padded, kernel, bias, g, out);
    else if (k == 3 && strideX == 2)
        convolvePlaneFixed<3, 2>(padded, kernel, bias, g, out);
    else if (k == 5 && strideX == 1)
        convolvePlaneFixed<5, 1>(padded, kernel, bias, g, out);
    else if (k == 5 && strideX == 2)
        convolvePlaneFixed<5, 2>(padded, kernel, bias, g, out);
    else
        convolvePlaneAny(padded, kernel, bias, k, strideX, g, out);
}

SCRIVEL_VECTOR_CLONES void hardSwish(const float* in, float scale, float shift, float* out, std::size_t count)
{
    // Selects on values, which the vectorizer turns into vector min and max
    // (given -fno-trapping-math; see CMakeLists.txt).
    for (std::size_t i = 0; i < count; ++i) {
        float gate = in[i] * (1.0F / 6.0F) + 0.5F;
        gate = gate > 0.0F ? gate : 0.0F;
        gate = gate < 1.0F ? gate : 1.0F;
        out[i] = in[i] * gate * scale + shift;
    }
}

SCRIVEL_VECTOR_CLONES void scale(const float* in, float factor, float* out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = in[i] * factor;
}

// Element-wise work is split in blocks of this many values across OpenCV's threads.
constexpr std::size_t kElementBlock = 1 << 14;

std::vector<cv::Mat> matsOf(cv::InputArrayOfArrays arrays)
{
    std::vector<cv::Mat> mats;
    arrays.getMatVector(mats);
    for (const cv::Mat& mat : mats)
        CV_Assert(mat.type() == CV_32F && mat.isContinuous());
    return mats;
}

int positiveParam(const cv::dnn::LayerParams& params, const char* name, int minimum)
{
    const int value = params.get<int>(name);
    if (value < minimum)
        CV_Error(cv::Error::StsBadArg, cv::format("%s: %s must be at least %d", DepthwiseConvolutionLayer::kType, name,
                                                  minimum));
    return value;
}

} // namespace

DepthwiseConvolutionLayer::DepthwiseConvolutionLayer(const cv::dnn::LayerParams& params)
{
    setParamsFrom(params);
    kernel_ = positiveParam(params, "kernel", 1);
    strideY_ = positiveParam(params, "stride_h", 1);
    strideX_ = positiveParam(params, "stride_w", 1);
    padY_ = positiveParam(params, "pad_h", 0);
    padX_ = positiveParam(params, "pad_w", 0);
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

    cv::parallel_for_(cv::Range(0, input.size[0] * channels), [&](const cv::Range& planes) {
        // Zero borders stay zero; only the interior is rewritten per plane.
        std::vector<float> padded(static_cast<std::size_t>(paddedHeight) * geometry.paddedWidth, 0.0F);
        for (int plane = planes.start; plane < planes.end; ++plane) {
            const int channel = plane % channels;
            const float* in = source + inPlane * plane;
            for (int y = 0; y < height; ++y)
                std::memcpy(padded.data() + static_cast<std::size_t>(y + padY_) * geometry.paddedWidth + padX_,
                            in + static_cast<std::size_t>(y) * width, sizeof(float) * width);
            convolvePlane(padded.data(), weights + static_cast<std::ptrdiff_t>(channel) * kernelArea,
                          bias ? bias[channel] : 0.0F, kernel_, strideX_, geometry, target + outPlane * plane);
        }
    });
}

// ---------------------------------------------------------------------------

HardSwishLayer::HardSwishLayer(const cv::dnn::LayerParams& params)
    : scale_(params.get<float>("scale", 1.0F)), shift_(params.get<float>("shift", 0.0F))
{
    setParamsFrom(params);
}

bool HardSwishLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int,
                                     std::vector<cv::dnn::MatShape>& outputs, std::vector<cv::dnn::MatShape>&) const
{
    if (inputs.size() != 1)
        CV_Error(cv::Error::StsBadArg, "ScrivelHardSwish takes one input");
    outputs.assign(1, inputs[0]);
    return false;
}

void HardSwishLayer::forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray,
                             cv::OutputArrayOfArrays)
{
    const std::vector<cv::Mat> inputs = matsOf(inputsArray);
    std::vector<cv::Mat> outputs = matsOf(outputsArray);
    const std::size_t count = inputs[0].total();
    CV_Assert(outputs[0].total() == count);
    const auto* in = inputs[0].ptr<float>();
    auto* out = outputs[0].ptr<float>();
    const int blocks = static_cast<int>((count + kElementBlock - 1) / kElementBlock);
    cv::parallel_for_(cv::Range(0, blocks), [&](const cv::Range& range) {
        const std::size_t begin = static_cast<std::size_t>(range.start) * kElementBlock;
        const std::size_t end = std::min(count, static_cast<std::size_t>(range.end) * kElementBlock);
        hardSwish(in + begin, scale_, shift_, out + begin, end - begin);
    });
}

// ---------------------------------------------------------------------------

ChannelScaleLayer::ChannelScaleLayer(const cv::dnn::LayerParams& params)
{
    setParamsFrom(params);
}

bool ChannelScaleLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int,
                                        std::vector<cv::dnn::MatShape>& outputs,
                                        std::vector<cv::dnn::MatShape>&) const
{
    if (inputs.size() != 2)
        CV_Error(cv::Error::StsBadArg, "ScrivelChannelScale takes [N, C, H, W] and [N, C, 1, 1]");
    // The importer asks with shapes it may not know yet (sizes of zero or
    // less); forward() checks the real ones.
    const cv::dnn::MatShape& x = inputs[0];
    const cv::dnn::MatShape& factors = inputs[1];
    if (x.size() == 4 && factors.size() == 4 && x[1] > 0 && factors[1] > 0 && x[1] != factors[1])
        CV_Error(cv::Error::StsBadArg, "ScrivelChannelScale scale does not match its input's channels");
    outputs.assign(1, inputs[0]);
    return false;
}

void ChannelScaleLayer::forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray,
                                cv::OutputArrayOfArrays)
{
    const std::vector<cv::Mat> inputs = matsOf(inputsArray);
    std::vector<cv::Mat> outputs = matsOf(outputsArray);
    const cv::Mat& input = inputs[0];
    const int planes = input.size[0] * input.size[1];
    if (input.dims != 4 || inputs[1].total() != static_cast<std::size_t>(planes) || outputs[0].total() != input.total())
        CV_Error(cv::Error::StsBadArg, "ScrivelChannelScale takes [N, C, H, W] and [N, C, 1, 1]");
    const std::size_t plane = static_cast<std::size_t>(input.size[2]) * input.size[3];
    const auto* in = input.ptr<float>();
    const auto* factors = inputs[1].ptr<float>();
    auto* out = outputs[0].ptr<float>();
    cv::parallel_for_(cv::Range(0, planes), [&](const cv::Range& range) {
        for (int p = range.start; p < range.end; ++p)
            scale(in + plane * p, factors[p], out + plane * p, plane);
    });
}

// ---------------------------------------------------------------------------

namespace {

template <typename Layer>
cv::Ptr<cv::dnn::Layer> createLayer(cv::dnn::LayerParams& params)
{
    return cv::makePtr<Layer>(params);
}

} // namespace

void registerNetworkLayers()
{
    static std::once_flag registered;
    std::call_once(registered, [] {
        cv::dnn::LayerFactory::registerLayer(DepthwiseConvolutionLayer::kType, &createLayer<DepthwiseConvolutionLayer>);
        cv::dnn::LayerFactory::registerLayer(HardSwishLayer::kType, &createLayer<HardSwishLayer>);
        cv::dnn::LayerFactory::registerLayer(ChannelScaleLayer::kType, &createLayer<ChannelScaleLayer>);
    });
}

} // namespace scrivel

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

namespace scrivel {

namespace layers {

int vectorLanes(int laneLimit)
{
    static const int widest = [] {
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("x86-64-v4"))
            return 16;
        if (__builtin_cpu_supports("x86-64-v3"))
            return 8;
#endif
        return 4;
    }();
    const int lanes = laneLimit > 0 ? std::min(widest, laneLimit) : widest;
    return lanes >= 16 ? 16 : lanes >= 8 ? 8 : 4;
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

SCRIVEL_VECTOR_CLONES void scaleOnto(const float* in, float factor, float* out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = in[i] + in[i] * factor;
}

SCRIVEL_VECTOR_CLONES void rectify(float* values, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        values[i] = values[i] > 0.0F ? values[i] : 0.0F;
}

void activate(float* values, const ConvolutionActivation& activation, std::size_t count)
{
    switch (activation.kind) {
    case ConvolutionActivation::Kind::none:
        break;
    case ConvolutionActivation::Kind::relu:
        rectify(values, count);
        break;
    case ConvolutionActivation::Kind::hardSwish:
        hardSwish(values, activation.scale, activation.shift, values, count);
        break;
    }
}

std::vector<cv::Mat> matsOf(cv::InputArrayOfArrays arrays)
{
    std::vector<cv::Mat> mats;
    arrays.getMatVector(mats);
    for (const cv::Mat& mat : mats)
        CV_Assert(mat.type() == CV_32F && mat.isContinuous());
    return mats;
}

// A model prepared for a newer build may give a layer an attribute this
// build does not know (a fused step, say); ignoring it would compute
// something else without a word, so such a layer is refused. The importer
// adds has_dynamic_shapes of its own.
void refuseUnknownAttributes(const cv::dnn::LayerParams& params, const char* type,
                             std::initializer_list<std::string_view> known)
{
    for (auto it = params.begin(); it != params.end(); ++it) {
        const std::string_view name = it->first;
        if (name != "has_dynamic_shapes" && std::find(known.begin(), known.end(), name) == known.end())
            CV_Error(cv::Error::StsBadArg,
                     cv::format("%s has an attribute this build does not know: %s", type, it->first.c_str()));
    }
}

int positiveParam(const cv::dnn::LayerParams& params, const char* name, int minimum)
{
    const int value = params.get<int>(name);
    if (value < minimum)
        CV_Error(cv::Error::StsBadArg, cv::format("%s: %s must be at least %d", DepthwiseConvolutionLayer::kType, name,
                                                  minimum));
    return value;
}

} // namespace layers

using namespace layers;

ConvolutionActivation ConvolutionActivation::fromParams(const cv::dnn::LayerParams& params)
{
    ConvolutionActivation activation;
    if (!params.has("activation"))
        return activation;
    const std::string kind = params.get<cv::String>("activation");
    if (kind == "relu") {
        activation.kind = Kind::relu;
    } else if (kind == "hard_swish") {
        activation.kind = Kind::hardSwish;
        activation.scale = params.get<float>("act_scale", 1.0F);
        activation.shift = params.get<float>("act_shift", 0.0F);
    } else {
        CV_Error(cv::Error::StsBadArg, "unknown convolution activation: " + kind);
    }
    return activation;
}

// ---------------------------------------------------------------------------

HardSwishLayer::HardSwishLayer(const cv::dnn::LayerParams& params)
    : scale_(params.get<float>("scale", 1.0F)), shift_(params.get<float>("shift", 0.0F))
{
    setParamsFrom(params);
    refuseUnknownAttributes(params, kType, {"scale", "shift"});
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
    : residual_(params.get<int>("residual", 0) != 0)
{
    setParamsFrom(params);
    refuseUnknownAttributes(params, kType, {"residual"});
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
        for (int p = range.start; p < range.end; ++p) {
            if (residual_)
                scaleOnto(in + plane * p, factors[p], out + plane * p, plane);
            else
                scale(in + plane * p, factors[p], out + plane * p, plane);
        }
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

bool bfloat16ProductsAvailable()
{
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    static const bool supported = [] {
        if (const char* floatOnly = std::getenv("SCRIVEL_FLOAT_PRODUCTS"); floatOnly && *floatOnly &&
                                                                         std::string_view(floatOnly) != "0")
            return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bf16") && __builtin_cpu_supports("x86-64-v4");
    }();
    return supported;
#else
    return false;
#endif
}

std::string_view networkArithmetic()
{
    if (bfloat16ProductsAvailable())
        return "16-lane (AVX-512) vectors, bfloat16 products";
    switch (vectorLanes(0)) {
    case 16:
        return "16-lane (AVX-512) vectors, float products";
    case 8:
        return "8-lane (AVX2) vectors, float products";
    default:
        return "4-lane vectors, float products";
    }
}

void registerNetworkLayers()
{
    static std::once_flag registered;
    std::call_once(registered, [] {
        cv::dnn::LayerFactory::registerLayer(DepthwiseConvolutionLayer::kType, &createLayer<DepthwiseConvolutionLayer>);
        cv::dnn::LayerFactory::registerLayer(DenseConvolutionLayer::kType, &createLayer<DenseConvolutionLayer>);
        cv::dnn::LayerFactory::registerLayer(UpConvolutionLayer::kType, &createLayer<UpConvolutionLayer>);
        cv::dnn::LayerFactory::registerLayer(LinearLayer::kType, &createLayer<LinearLayer>);
        cv::dnn::LayerFactory::registerLayer(HardSwishLayer::kType, &createLayer<HardSwishLayer>);
        cv::dnn::LayerFactory::registerLayer(ChannelScaleLayer::kType, &createLayer<ChannelScaleLayer>);
    });
}

} // namespace scrivel

#pragma once

#include <vector>

#include <opencv2/dnn.hpp>

namespace scrivel {

// The application's own layers for the text detection and recognition
// networks: operations that OpenCV 4.6 runs several times slower than they
// need, given their own node types by the model preparation step
// (scripts/convert_models.py). NCHW float tensors throughout.

// A depthwise 2-D convolution: one k × k kernel per channel. OpenCV runs
// depthwise kernels other than 3 × 3 through its general convolution, at a
// few GFLOP/s; this layer slides each channel's kernel along contiguous rows.
// Integer attributes kernel, stride_h, stride_w, pad_h and pad_w (symmetric
// padding), weights [C, 1, k, k] and an optional bias [C].
class DepthwiseConvolutionLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelDepthwiseConv";

    explicit DepthwiseConvolutionLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

private:
    int kernel_ = 0;
    int strideY_ = 1;
    int strideX_ = 1;
    int padY_ = 0;
    int padX_ = 0;
};

// x · clamp(x / 6 + 1/2, 0, 1) in one pass, then times `scale` plus `shift`
// (float attributes, 1 and 0 when absent: the scalar affine block that
// follows each activation in the backbones). The exported graphs spell the
// activation as four element-wise nodes; OpenCV's own HardSwish, once fused
// into the convolution before it, sends that convolution down a slow path.
class HardSwishLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelHardSwish";

    explicit HardSwishLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

private:
    float scale_ = 1;
    float shift_ = 0;
};

// x [N, C, H, W] times scale [N, C, 1, 1], channel by channel: the
// squeeze-and-excitation product, which OpenCV runs as a general
// broadcasting multiplication.
class ChannelScaleLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelChannelScale";

    explicit ChannelScaleLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;
};

// Registers the layers above with OpenCV's layer factory, once per process;
// call before reading a network that uses them.
void registerNetworkLayers();

} // namespace scrivel

#pragma once

#include <vector>

#include <opencv2/dnn.hpp>

namespace scrivel {

// A depthwise 2-D convolution (one k × k kernel per channel, NCHW floats)
// for the recognition and detection networks. OpenCV 4.6 runs depthwise
// kernels other than 3 × 3 through its general convolution, at a few
// GFLOP/s; this layer slides each channel's kernel along contiguous rows.
// The model preparation step turns the networks' depthwise Conv nodes into
// nodes of type `kType` with integer attributes kernel, stride_h, stride_w,
// pad_h and pad_w (symmetric padding), weights [C, 1, k, k] and an optional
// bias [C].
class DepthwiseConvolutionLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelDepthwiseConv";

    explicit DepthwiseConvolutionLayer(const cv::dnn::LayerParams& params);
    static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

    // Registers the layer with OpenCV's layer factory, once per process;
    // call before reading a network that uses it.
    static void registerType();

private:
    int kernel_ = 0;
    int strideY_ = 1;
    int strideX_ = 1;
    int padY_ = 0;
    int padX_ = 0;
};

} // namespace scrivel

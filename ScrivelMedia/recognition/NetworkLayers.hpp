#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <opencv2/dnn.hpp>

namespace scrivel {

// The application's own layers for the text detection and recognition
// networks: operations that OpenCV 4.6 runs several times slower than they
// need, given their own node types by the model preparation step
// (scripts/convert_models.py). NCHW float tensors throughout.

// What a convolution layer applies to its sums as it stores them, instead of
// a separate pass over its output: string attribute activation ("relu", or
// "hard_swish" with float attributes act_scale and act_shift, the affine
// block after a hard-swish; absent: none).
struct ConvolutionActivation {
    enum class Kind { none, relu, hardSwish };
    Kind kind = Kind::none;
    float scale = 1;
    float shift = 0;

    static ConvolutionActivation fromParams(const cv::dnn::LayerParams& params);
};

// A depthwise 2-D convolution: one k × k kernel per channel. OpenCV runs
// depthwise kernels other than 3 × 3 through its general convolution, at a
// few GFLOP/s; this layer slides each channel's kernel along contiguous rows.
// Integer attributes kernel, stride_h, stride_w, pad_h and pad_w (symmetric
// padding), weights [C, 1, k, k], an optional bias [C], an activation, and
// lane_limit as for the dense layer below.
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
    int laneLimit_ = 0;
    ConvolutionActivation activation_;
};

// A dense 2-D convolution (one group, stride 1, symmetric zero padding):
// weights [Cout, Cin, kh, kw] and an optional bias [Cout]; integer
// attributes pad_h and pad_w, and lane_limit (at most that many float lanes
// per vector, so that tests can reach the narrower builds; the widest the
// processor has when absent); an activation; and bf16 (1 when absent: where
// the processor has bfloat16 dot products, the products are taken in
// bfloat16 and summed in float, twice as fast; 0 keeps float products).
// OpenCV 4.6 reaches about a third of what the
// vector units can do on the networks' 1 × 1 and 3 × 3 kernels; this layer
// packs the weights once and computes tiles of six output channels by two
// vectors of output columns, held in registers across every input channel
// and tap.
class DenseConvolutionLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelConv";

    explicit DenseConvolutionLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

private:
    int outChannels_ = 0;
    int inChannels_ = 0;
    int kernelY_ = 1;
    int kernelX_ = 1;
    int padY_ = 0;
    int padX_ = 0;
    int laneLimit_ = 0;
    ConvolutionActivation activation_;
    // Weights in panels of six output channels, tap by tap ([Cin][kh][kw]
    // order), each tap's six weights together; channels past Cout are zero.
    // Either in float or, where the layer takes bfloat16 products, as
    // bfloat16 pairs of consecutive input channels; the other stays empty.
    std::vector<float> panels_;
    std::vector<std::uint32_t> pairPanels_;
    std::vector<float> bias_; // one per packed channel

    void forwardInPairs(const cv::Mat& input, cv::Mat& output, bool inPlace, int rowWidth, int rowsPerImage,
                        int sourceRowStride, std::ptrdiff_t sourcePlane) const;
};

// A transposed convolution whose stride equals its k × k kernel, without
// padding: every output pixel takes exactly one tap, so it runs as a dense
// pass to k² · Cout channels that are then spread over each input pixel's
// k × k cell. Weights [Cin, Cout, k, k], an optional bias [Cout], and
// lane_limit as for the dense layer. OpenCV 4.6 runs the detection head's
// 2 × 2 up-sampling about six times slower.
class UpConvolutionLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelUpConv";

    explicit UpConvolutionLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

private:
    int inChannels_ = 0;
    int outChannels_ = 0;
    int kernel_ = 1;
    int laneLimit_ = 0;
    // As for the dense layer, for k² · Cout channels in (channel, row in
    // cell, column in cell) order.
    std::vector<float> panels_;
    std::vector<float> bias_;
};

// A linear map on the last axis: x [..., Cin] times weightsᵀ plus an
// optional bias, to [..., Cout]; weights [Cout, Cin], bias [Cout], and
// lane_limit and bf16 as for the dense layer. The recognition head's layers,
// which OpenCV 4.6 runs as dot products along Cin; here each tile is six
// rows of x by two vectors of output channels, taken along the transposed
// weights.
class LinearLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelLinear";

    explicit LinearLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

private:
    int inChannels_ = 0;
    int outChannels_ = 0;
    bool hasBias_ = false;
    int laneLimit_ = 0;
    // [Cin (+ 1 with a bias)][Cout] and a tile's width of zeros: row k holds
    // input channel k's weight for every output channel, the last row the
    // bias. Or, where the layer takes bfloat16 products (see the dense
    // layer), the same without the bias as bfloat16 pairs of consecutive
    // input channels; the other stays empty.
    std::vector<float> transposed_;
    std::vector<std::uint32_t> transposedPairs_;
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
// broadcasting multiplication. With integer attribute residual = 1, x plus
// that product in the same pass (the residual gates of the detection neck,
// which would otherwise add in a pass of their own).
class ChannelScaleLayer final : public cv::dnn::Layer {
public:
    static constexpr const char* kType = "ScrivelChannelScale";

    explicit ChannelScaleLayer(const cv::dnn::LayerParams& params);

    bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int requiredOutputs,
                         std::vector<cv::dnn::MatShape>& outputs,
                         std::vector<cv::dnn::MatShape>& internals) const override;
    void forward(cv::InputArrayOfArrays inputs, cv::OutputArrayOfArrays outputs,
                 cv::OutputArrayOfArrays internals) override;

private:
    bool residual_ = false;
};

// Whether the dense convolutions take their products in bfloat16 here: the
// processor has AVX-512 BF16, and the environment does not set
// SCRIVEL_FLOAT_PRODUCTS (to anything but 0), which keeps float products
// for results that do not depend on the processor.
bool bfloat16ProductsAvailable();

// How this processor runs the layers above, for benchmark reports: the
// vector width used and whether products are taken in bfloat16. Scan
// timings from machines that differ in this do not compare: the networks
// are most of a scan's work.
std::string_view networkArithmetic();

// Registers the layers above with OpenCV's layer factory, once per process;
// call before reading a network that uses them.
void registerNetworkLayers();

} // namespace scrivel

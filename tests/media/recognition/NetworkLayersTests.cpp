#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include <opencv2/dnn.hpp>
#include <opencv2/dnn/shape_utils.hpp>

#include "recognition/NetworkLayers.hpp"

namespace {

using scrivel::DepthwiseConvolutionLayer;

struct Geometry {
    int kernel;
    int strideY, strideX;
    int padY, padX;
    bool bias;
};

cv::Mat randomBlob(std::vector<int> shape, int seed)
{
    cv::Mat blob(shape, CV_32F);
    cv::RNG rng(static_cast<std::uint64_t>(seed));
    rng.fill(blob, cv::RNG::UNIFORM, -1.0, 1.0);
    return blob;
}

// A float rounded to bfloat16 (8 bits of precision, nearest, ties to even).
double toBfloat16(float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    bits += 0x7FFFU + ((bits >> 16) & 1U);
    bits &= 0xFFFF0000U;
    float rounded = 0;
    std::memcpy(&rounded, &bits, sizeof(rounded));
    return rounded;
}

cv::Mat runOneLayer(const std::string& type, cv::dnn::LayerParams params, const cv::Mat& input)
{
    cv::dnn::Net net;
    net.addLayerToPrev("layer", type, params);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setInput(input);
    return net.forward().clone();
}

// OpenCV's own convolution: weights [Cout, Cin / groups, kh, kw], no bias
// when `bias` is empty.
cv::Mat openCvConvolution(const cv::Mat& weights, const cv::Mat& bias, const cv::Mat& input, cv::Size stride,
                          cv::Size pad, int groups)
{
    cv::dnn::LayerParams params;
    params.set("kernel_h", weights.size[2]);
    params.set("kernel_w", weights.size[3]);
    params.set("stride_h", stride.height);
    params.set("stride_w", stride.width);
    params.set("pad_h", pad.height);
    params.set("pad_w", pad.width);
    params.set("num_output", weights.size[0]);
    params.set("group", groups);
    params.set("bias_term", !bias.empty());
    params.blobs.push_back(weights);
    if (!bias.empty())
        params.blobs.push_back(bias);
    return runOneLayer("Convolution", params, input);
}

// OpenCV's own grouped convolution is the reference.
cv::Mat referenceConvolution(const Geometry& g, const cv::Mat& weights, const cv::Mat& bias, const cv::Mat& input)
{
    return openCvConvolution(weights, g.bias ? bias : cv::Mat(), input, {g.strideX, g.strideY}, {g.padX, g.padY},
                             weights.size[0]);
}

cv::Mat depthwiseConvolution(const Geometry& g, const cv::Mat& weights, const cv::Mat& bias, const cv::Mat& input,
                             int laneLimit)
{
    scrivel::registerNetworkLayers();
    cv::dnn::LayerParams params;
    params.set("lane_limit", laneLimit);
    params.set("kernel", g.kernel);
    params.set("stride_h", g.strideY);
    params.set("stride_w", g.strideX);
    params.set("pad_h", g.padY);
    params.set("pad_w", g.padX);
    params.blobs.push_back(weights);
    if (g.bias)
        params.blobs.push_back(bias);
    return runOneLayer(DepthwiseConvolutionLayer::kType, params, input);
}

// The networks' kernels (3 and 5, with strides along either axis) over
// planes whose widths leave every length of vector tail, and a plane smaller
// than the kernel that only its padding makes convolvable; with every vector
// width this processor runs.
TEST(NetworkLayers, DepthwiseConvolutionMatchesOpenCvsGroupedConvolution)
{
    const std::vector<Geometry> geometries = {
        {5, 1, 1, 2, 2, true}, {5, 2, 1, 2, 2, true}, {5, 1, 2, 2, 2, false}, {5, 2, 2, 2, 2, true},
        {3, 1, 1, 1, 1, true}, {3, 2, 1, 1, 1, false}, {3, 1, 2, 1, 1, true}, {5, 1, 1, 0, 0, true},
        {7, 1, 1, 3, 3, true}, {5, 1, 3, 1, 2, true},
    };
    const std::vector<std::pair<int, int>> planeSizes = {{12, 80}, {7, 33}, {3, 3}, {1, 17}, {9, 1}, {4, 70}};
    int seed = 1;
    for (const int laneLimit : {4, 8, 16}) {
        for (const Geometry& g : geometries) {
            for (const auto& [height, width] : planeSizes) {
                if (height + 2 * g.padY < g.kernel || width + 2 * g.padX < g.kernel)
                    continue;
                const int channels = 6;
                const cv::Mat input = randomBlob({2, channels, height, width}, seed++);
                const cv::Mat weights = randomBlob({channels, 1, g.kernel, g.kernel}, seed++);
                const cv::Mat bias = randomBlob({1, channels}, seed++);
                const cv::Mat expected = referenceConvolution(g, weights, bias, input);
                const cv::Mat actual = depthwiseConvolution(g, weights, bias, input, laneLimit);
                SCOPED_TRACE(cv::format("lanes %d kernel %d stride %dx%d pad %dx%d bias %d plane %dx%d", laneLimit,
                                        g.kernel, g.strideY, g.strideX, g.padY, g.padX, g.bias, height, width));
                ASSERT_EQ(cv::dnn::shape(actual), cv::dnn::shape(expected));
                EXPECT_LT(cv::norm(actual, expected, cv::NORM_INF), 1e-5);
            }
        }
    }
}

TEST(NetworkLayers, DepthwiseConvolutionRefusesWeightsThatDoNotFitTheKernel)
{
    scrivel::registerNetworkLayers();
    cv::dnn::LayerParams params;
    params.set("kernel", 5);
    params.set("stride_h", 1);
    params.set("stride_w", 1);
    params.set("pad_h", 2);
    params.set("pad_w", 2);
    params.blobs.push_back(randomBlob({4, 1, 3, 3}, 1));
    EXPECT_THROW(runOneLayer(DepthwiseConvolutionLayer::kType, params, randomBlob({1, 4, 8, 8}, 2)), cv::Exception);

    params.blobs.assign(1, randomBlob({4, 1, 5, 5}, 3));
    params.blobs.push_back(randomBlob({1, 3}, 4)); // one bias short
    EXPECT_THROW(runOneLayer(DepthwiseConvolutionLayer::kType, params, randomBlob({1, 4, 8, 8}, 5)), cv::Exception);

    params.blobs.resize(1); // four channels of weights, six of input
    EXPECT_THROW(runOneLayer(DepthwiseConvolutionLayer::kType, params, randomBlob({1, 6, 8, 8}, 6)), cv::Exception);
}

// OpenCV's own convolution is the reference for the dense layer: kernels of
// the networks' shapes, output channel counts that fill no panel, one panel
// or leave a remainder, and planes wider, narrower and not a multiple of a
// tile, so that a row's last tile is moved back, or reads a plane past its
// row; with every vector width this processor runs, in float products.
TEST(NetworkLayers, DenseConvolutionMatchesOpenCvsConvolution)
{
    scrivel::registerNetworkLayers();
    const struct {
        int kernelY, kernelX, padY, padX;
    } kernels[] = {{1, 1, 0, 0}, {3, 3, 1, 1}, {1, 3, 0, 1}, {3, 3, 0, 0}, {5, 5, 2, 2}, {1, 1, 1, 0}};
    const std::vector<std::pair<int, int>> planeSizes = {{12, 80}, {7, 33}, {3, 3}, {1, 17}, {9, 1}, {2, 5}, {4, 64}};
    const std::vector<std::pair<int, int>> channelCounts = {{3, 1}, {16, 6}, {5, 13}, {24, 7}};
    int seed = 100;
    for (const int laneLimit : {4, 8, 16})
        for (const auto& k : kernels)
            for (const auto& [height, width] : planeSizes)
                for (const auto& [inChannels, outChannels] : channelCounts) {
                    if (height + 2 * k.padY < k.kernelY || width + 2 * k.padX < k.kernelX)
                        continue;
                    const bool withBias = seed % 2 == 0;
                    const cv::Mat input = randomBlob({2, inChannels, height, width}, seed++);
                    const cv::Mat weights = randomBlob({outChannels, inChannels, k.kernelY, k.kernelX}, seed++);
                    const cv::Mat bias = randomBlob({1, outChannels}, seed++);

                    const cv::Mat expected = openCvConvolution(weights, withBias ? bias : cv::Mat(), input, {1, 1},
                                                               {k.padX, k.padY}, 1);

                    cv::dnn::LayerParams dense;
                    dense.set("pad_h", k.padY);
                    dense.set("pad_w", k.padX);
                    dense.set("lane_limit", laneLimit);
                    dense.set("bf16", 0);
                    dense.blobs.push_back(weights);
                    if (withBias)
                        dense.blobs.push_back(bias);
                    const cv::Mat actual = runOneLayer(scrivel::DenseConvolutionLayer::kType, dense, input);

                    SCOPED_TRACE(cv::format("lanes %d kernel %dx%d pad %dx%d plane %dx%d channels %d -> %d",
                                            laneLimit, k.kernelY, k.kernelX, k.padY, k.padX, height, width,
                                            inChannels, outChannels));
                    ASSERT_EQ(cv::dnn::shape(actual), cv::dnn::shape(expected));
                    EXPECT_LT(cv::norm(actual, expected, cv::NORM_INF), 1e-4);
                }
}

// With bfloat16 products the layer computes exactly the sum of the rounded
// operands' products (up to float sums), which is within 2^-7 of the sum of
// the products' sizes of the true value. The reference is computed in
// double. Odd channel counts leave the last pair half empty.
TEST(NetworkLayers, DenseConvolutionInBfloat16SumsTheRoundedProducts)
{
    if (!scrivel::bfloat16ProductsAvailable())
        GTEST_SKIP() << "this processor has no bfloat16 products";
    scrivel::registerNetworkLayers();
    const struct {
        int kernelY, kernelX, padY, padX;
    } kernels[] = {{1, 1, 0, 0}, {3, 3, 1, 1}, {1, 3, 0, 1}};
    int seed = 900;
    for (const auto& k : kernels)
        for (const auto& [height, width] : std::vector<std::pair<int, int>>{{12, 80}, {3, 5}, {7, 33}})
            for (const auto& [inChannels, outChannels] : std::vector<std::pair<int, int>>{{16, 6}, {5, 13}, {3, 1}}) {
                const cv::Mat input = randomBlob({2, inChannels, height, width}, seed++) * 8.0;
                const cv::Mat weights = randomBlob({outChannels, inChannels, k.kernelY, k.kernelX}, seed++);
                const cv::Mat bias = randomBlob({1, outChannels}, seed++);
                cv::dnn::LayerParams dense;
                dense.set("pad_h", k.padY);
                dense.set("pad_w", k.padX);
                dense.blobs = {weights, bias};
                const cv::Mat actual = runOneLayer(scrivel::DenseConvolutionLayer::kType, dense, input);
                SCOPED_TRACE(cv::format("kernel %dx%d plane %dx%d channels %d -> %d", k.kernelY, k.kernelX, height,
                                        width, inChannels, outChannels));
                const int outHeight = height + 2 * k.padY - k.kernelY + 1;
                const int outWidth = width + 2 * k.padX - k.kernelX + 1;
                ASSERT_EQ(cv::dnn::shape(actual), (cv::dnn::MatShape{2, outChannels, outHeight, outWidth}));
                int notRounded = 0;
                int outsideBound = 0;
                for (int n = 0; n < 2; ++n)
                    for (int co = 0; co < outChannels; ++co)
                        for (int y = 0; y < outHeight; ++y)
                            for (int x = 0; x < outWidth; ++x) {
                                double exact = bias.at<float>(co);
                                double rounded = exact;
                                double size = 0;
                                for (int ci = 0; ci < inChannels; ++ci)
                                    for (int ky = 0; ky < k.kernelY; ++ky)
                                        for (int kx = 0; kx < k.kernelX; ++kx) {
                                            const int iy = y + ky - k.padY;
                                            const int ix = x + kx - k.padX;
                                            if (iy < 0 || iy >= height || ix < 0 || ix >= width)
                                                continue;
                                            const float value = input.at<float>(cv::Vec4i(n, ci, iy, ix));
                                            const float weight = weights.at<float>(cv::Vec4i(co, ci, ky, kx));
                                            exact += double(value) * weight;
                                            rounded += toBfloat16(value) * toBfloat16(weight);
                                            size += std::abs(double(value) * weight);
                                        }
                                const double got = actual.at<float>(cv::Vec4i(n, co, y, x));
                                notRounded += std::abs(got - rounded) > 1e-5 * (size + 1);
                                outsideBound += std::abs(got - exact) > size / 128 + 1e-5;
                            }
                EXPECT_EQ(notRounded, 0);
                EXPECT_EQ(outsideBound, 0);
            }
}

TEST(NetworkLayers, DenseConvolutionRefusesInputsThatDoNotFitItsWeights)
{
    scrivel::registerNetworkLayers();
    cv::dnn::LayerParams params;
    params.set("pad_h", 1);
    params.set("pad_w", 1);
    params.blobs.push_back(randomBlob({8, 4, 3, 3}, 1));
    params.blobs.push_back(randomBlob({1, 7}, 2)); // one bias short
    EXPECT_THROW(runOneLayer(scrivel::DenseConvolutionLayer::kType, params, randomBlob({1, 4, 8, 8}, 3)),
                 cv::Exception);

    params.blobs.resize(1); // four input channels of weights, five of input
    EXPECT_THROW(runOneLayer(scrivel::DenseConvolutionLayer::kType, params, randomBlob({1, 5, 8, 8}, 4)),
                 cv::Exception);

    params.set("pad_h", 0); // a plane one row shorter than the kernel
    EXPECT_THROW(runOneLayer(scrivel::DenseConvolutionLayer::kType, params, randomBlob({1, 4, 2, 8}, 5)),
                 cv::Exception);
}

// Against the transposed convolution's definition: each input pixel's
// value, times the weights, fills its own k × k cell of the output. Planes
// smaller and larger than a tile, channel counts that fill no panel or leave
// a remainder, and the single-channel head that ends the detector.
TEST(NetworkLayers, UpConvolutionFillsEachPixelsCellFromItsOwnValue)
{
    scrivel::registerNetworkLayers();
    int seed = 300;
    for (const int laneLimit : {4, 8, 16})
        for (const int kernel : {2, 3})
            for (const auto& [inChannels, outChannels] : std::vector<std::pair<int, int>>{{24, 24}, {24, 1}, {5, 7}})
                for (const auto& [height, width] : std::vector<std::pair<int, int>>{{1, 1}, {3, 5}, {9, 41}}) {
                    const cv::Mat input = randomBlob({2, inChannels, height, width}, seed++);
                    const cv::Mat weights = randomBlob({inChannels, outChannels, kernel, kernel}, seed++);
                    const cv::Mat bias = randomBlob({1, outChannels}, seed++);
                    cv::dnn::LayerParams params;
                    params.set("lane_limit", laneLimit);
                    params.blobs = {weights, bias};
                    const cv::Mat actual = runOneLayer(scrivel::UpConvolutionLayer::kType, params, input);
                    SCOPED_TRACE(cv::format("lanes %d kernel %d channels %d -> %d plane %dx%d", laneLimit, kernel,
                                            inChannels, outChannels, height, width));
                    ASSERT_EQ(cv::dnn::shape(actual), (cv::dnn::MatShape{2, outChannels, height * kernel, width * kernel}));
                    double largest = 0;
                    for (int n = 0; n < 2; ++n)
                        for (int co = 0; co < outChannels; ++co)
                            for (int y = 0; y < height * kernel; ++y)
                                for (int x = 0; x < width * kernel; ++x) {
                                    double expected = bias.at<float>(co);
                                    for (int ci = 0; ci < inChannels; ++ci)
                                        expected += double(input.at<float>(cv::Vec4i(n, ci, y / kernel, x / kernel))) *
                                                    weights.at<float>(cv::Vec4i(ci, co, y % kernel, x % kernel));
                                    largest = std::max(largest,
                                                       std::abs(actual.at<float>(cv::Vec4i(n, co, y, x)) - expected));
                                }
                    EXPECT_LT(largest, 1e-4);
                }
}

// Against the definition, on the last axis of a [2, rows, Cin] input: row
// counts that fill no panel or leave a remainder, output widths narrower
// than a tile and not a multiple of one, with and without a bias; in float
// products with every vector width, and in bfloat16 products (lane limit 0
// here) as the sum of the rounded operands' products.
TEST(NetworkLayers, LinearMapsTheLastAxis)
{
    scrivel::registerNetworkLayers();
    int seed = 500;
    for (const int laneLimit : {4, 8, 16, 0})
        for (const int rows : {1, 5, 13})
            for (const auto& [inChannels, outChannels] :
                 std::vector<std::pair<int, int>>{{15, 1}, {1, 7}, {120, 33}, {24, 100}})
                for (const bool withBias : {false, true}) {
                    const cv::Mat input = randomBlob({2, rows, inChannels}, seed++);
                    const cv::Mat weights = randomBlob({outChannels, inChannels}, seed++);
                    const cv::Mat bias = randomBlob({1, outChannels}, seed++);
                    const bool bf16 = laneLimit == 0 && scrivel::bfloat16ProductsAvailable();
                    cv::dnn::LayerParams params;
                    params.set("lane_limit", laneLimit);
                    params.set("bf16", bf16 ? 1 : 0);
                    params.blobs.push_back(weights);
                    if (withBias)
                        params.blobs.push_back(bias);
                    const cv::Mat actual = runOneLayer(scrivel::LinearLayer::kType, params, input);
                    const auto operand = [&](float value) { return bf16 ? toBfloat16(value) : double(value); };
                    SCOPED_TRACE(cv::format("lanes %d rows %d channels %d -> %d bias %d", laneLimit, rows,
                                            inChannels, outChannels, withBias));
                    ASSERT_EQ(cv::dnn::shape(actual), (cv::dnn::MatShape{2, rows, outChannels}));
                    double largest = 0;
                    for (int r = 0; r < 2 * rows; ++r)
                        for (int o = 0; o < outChannels; ++o) {
                            double expected = withBias ? bias.at<float>(o) : 0.0;
                            for (int i = 0; i < inChannels; ++i)
                                expected +=
                                    operand(input.ptr<float>()[r * inChannels + i]) * operand(weights.at<float>(o, i));
                            largest = std::max(largest, std::abs(actual.ptr<float>()[r * outChannels + o] - expected));
                        }
                    EXPECT_LT(largest, 1e-4);
                }
}

// A fused activation equals the convolution's plain output put through the
// activation's formula, in every vector width and for the depthwise layer.
TEST(NetworkLayers, ConvolutionsApplyTheirActivationAsTheyStore)
{
    scrivel::registerNetworkLayers();
    const cv::Mat input = randomBlob({2, 5, 7, 37}, 700) * 4.0;
    const cv::Mat denseWeights = randomBlob({13, 5, 3, 3}, 701);
    const cv::Mat depthwiseWeights = randomBlob({5, 1, 5, 5}, 702);
    const cv::Mat denseBias = randomBlob({1, 13}, 703);
    const cv::Mat depthwiseBias = randomBlob({1, 5}, 704);
    const auto hardSwish = [](float x, float scale, float shift) {
        return x * std::clamp(x + 3.0F, 0.0F, 6.0F) / 6.0F * scale + shift;
    };
    const struct {
        const char* name;
        float scale, shift;
    } activations[] = {{"relu", 1, 0}, {"hard_swish", 1, 0}, {"hard_swish", -0.75F, 0.25F}};

    for (const auto& activation : activations) {
        std::vector<std::pair<std::string, cv::dnn::LayerParams>> layers;
        for (const int laneLimit : {4, 8, 16}) {
            cv::dnn::LayerParams dense;
            dense.set("pad_h", 1);
            dense.set("pad_w", 1);
            dense.set("lane_limit", laneLimit);
            dense.blobs = {denseWeights, denseBias};
            layers.emplace_back(scrivel::DenseConvolutionLayer::kType, dense);
        }
        cv::dnn::LayerParams depthwise;
        depthwise.set("kernel", 5);
        depthwise.set("stride_h", 1);
        depthwise.set("stride_w", 2);
        depthwise.set("pad_h", 2);
        depthwise.set("pad_w", 2);
        depthwise.blobs = {depthwiseWeights, depthwiseBias};
        layers.emplace_back(scrivel::DepthwiseConvolutionLayer::kType, depthwise);

        for (auto& [type, params] : layers) {
            SCOPED_TRACE(type + " " + activation.name + " lanes " + std::to_string(params.get<int>("lane_limit", 0)));
            const cv::Mat plain = runOneLayer(type, params, input);
            params.set("activation", activation.name);
            params.set("act_scale", activation.scale);
            params.set("act_shift", activation.shift);
            const cv::Mat fused = runOneLayer(type, params, input);
            ASSERT_EQ(fused.total(), plain.total());
            for (std::size_t i = 0; i < plain.total(); ++i) {
                const float x = plain.ptr<float>()[i];
                const float expected = std::string(activation.name) == "relu"
                                           ? std::max(x, 0.0F)
                                           : hardSwish(x, activation.scale, activation.shift);
                ASSERT_NEAR(fused.ptr<float>()[i], expected, 1e-5) << "x = " << x;
            }
        }
    }

    cv::dnn::LayerParams unknown;
    unknown.set("activation", "swish");
    unknown.blobs = {denseWeights};
    EXPECT_THROW(runOneLayer(scrivel::DenseConvolutionLayer::kType, unknown, input), cv::Exception);
}

// A model prepared for a newer build may give a layer an attribute this one
// does not know; each layer refuses it rather than compute something else.
TEST(NetworkLayers, LayersRefuseAttributesTheyDoNotKnow)
{
    scrivel::registerNetworkLayers();
    const cv::Mat input = randomBlob({1, 4, 6, 6}, 800);
    const std::vector<std::pair<std::string, std::vector<cv::Mat>>> layers = {
        {scrivel::DenseConvolutionLayer::kType, {randomBlob({4, 4, 1, 1}, 801)}},
        {scrivel::DepthwiseConvolutionLayer::kType, {randomBlob({4, 1, 3, 3}, 802)}},
        {scrivel::UpConvolutionLayer::kType, {randomBlob({4, 4, 2, 2}, 803)}},
        {scrivel::LinearLayer::kType, {randomBlob({5, 6}, 804)}},
        {scrivel::HardSwishLayer::kType, {}},
    };
    for (const auto& [type, blobs] : layers) {
        SCOPED_TRACE(type);
        cv::dnn::LayerParams params;
        params.blobs = blobs;
        if (type == scrivel::DepthwiseConvolutionLayer::kType) {
            params.set("kernel", 3);
            params.set("stride_h", 1);
            params.set("stride_w", 1);
            params.set("pad_h", 1);
            params.set("pad_w", 1);
        }
        EXPECT_NO_THROW(runOneLayer(type, params, input));
        params.set("dilation", 2);
        EXPECT_THROW(runOneLayer(type, params, input), cv::Exception);
    }
}

// Every length of vector tail and both sides of the clamp's corners (-3, 3),
// alone and with the affine block folded in after it.
TEST(NetworkLayers, HardSwishIsTheExportedFormula)
{
    scrivel::registerNetworkLayers();
    const struct {
        std::optional<float> scale, shift;
    } affines[] = {{{}, {}}, {1.75F, -0.4F}, {-0.5F, {}}};
    for (const auto& affine : affines)
        for (const int width : {1, 7, 8, 9, 31, 100}) {
            SCOPED_TRACE(::testing::Message() << affine.scale.value_or(1) << " " << affine.shift.value_or(0));
            cv::Mat input = randomBlob({2, 3, 5, width}, width);
            input *= 5.0F;
            input.at<float>(0) = -3.0F;
            input.at<float>(1) = 3.0F;
            cv::dnn::LayerParams params;
            if (affine.scale)
                params.set("scale", *affine.scale);
            if (affine.shift)
                params.set("shift", *affine.shift);
            const cv::Mat actual = runOneLayer(scrivel::HardSwishLayer::kType, params, input);
            ASSERT_EQ(actual.total(), input.total());
            for (std::size_t i = 0; i < input.total(); ++i) {
                const float x = input.ptr<float>()[i];
                const float expected =
                    x * std::clamp(x + 3.0F, 0.0F, 6.0F) / 6.0F * affine.scale.value_or(1) + affine.shift.value_or(0);
                ASSERT_NEAR(actual.ptr<float>()[i], expected, 1e-5) << "x = " << x;
            }
        }
}

// A channel gate's net: inputs "x" and "factors".
cv::dnn::Net gateNet(cv::dnn::LayerParams params)
{
    cv::dnn::Net net;
    net.setInputsNames({"x", "factors"});
    const int id = net.addLayer("gate", scrivel::ChannelScaleLayer::kType, params);
    net.connect(0, 0, id, 0);
    net.connect(0, 1, id, 1);
    return net;
}

cv::Mat runGate(cv::dnn::Net& net, const cv::Mat& input, const cv::Mat& factors)
{
    net.setInput(input, "x");
    net.setInput(factors, "factors");
    return net.forward().clone();
}

TEST(NetworkLayers, ChannelScaleMultipliesEachPlaneByItsOwnFactor)
{
    scrivel::registerNetworkLayers();
    const cv::Mat input = randomBlob({2, 5, 3, 11}, 1);
    const cv::Mat factors = randomBlob({2, 5, 1, 1}, 2);
    cv::dnn::Net net = gateNet({});
    const cv::Mat actual = runGate(net, input, factors);
    ASSERT_EQ(actual.total(), input.total());
    const std::size_t plane = 3 * 11;
    for (std::size_t i = 0; i < input.total(); ++i)
        ASSERT_FLOAT_EQ(actual.ptr<float>()[i], input.ptr<float>()[i] * factors.ptr<float>()[i / plane]);

    // A gate with one factor too few is refused, not read past its end.
    EXPECT_THROW(runGate(net, input, randomBlob({2, 4, 1, 1}, 3)), cv::Exception);

    // With residual = 1 the gated tensor is added back in the same pass.
    cv::dnn::LayerParams residual;
    residual.set("residual", 1);
    cv::dnn::Net residualNet = gateNet(residual);
    const cv::Mat added = runGate(residualNet, input, factors);
    ASSERT_EQ(added.total(), input.total());
    for (std::size_t i = 0; i < input.total(); ++i) {
        const float x = input.ptr<float>()[i];
        ASSERT_NEAR(added.ptr<float>()[i], x + x * factors.ptr<float>()[i / plane], 1e-6);
    }
}

} // namespace

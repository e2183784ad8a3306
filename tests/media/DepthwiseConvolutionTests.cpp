#include <gtest/gtest.h>

#include <opencv2/dnn.hpp>
#include <opencv2/dnn/shape_utils.hpp>

#include "ScrivelMedia/DepthwiseConvolution.hpp"

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

cv::Mat runOneLayer(const std::string& type, cv::dnn::LayerParams params, const cv::Mat& input)
{
    cv::dnn::Net net;
    net.addLayerToPrev("layer", type, params);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setInput(input);
    return net.forward().clone();
}

// OpenCV's own grouped convolution is the reference.
cv::Mat referenceConvolution(const Geometry& g, const cv::Mat& weights, const cv::Mat& bias, const cv::Mat& input)
{
    cv::dnn::LayerParams params;
    const int channels = weights.size[0];
    params.set("kernel_h", g.kernel);
    params.set("kernel_w", g.kernel);
    params.set("stride_h", g.strideY);
    params.set("stride_w", g.strideX);
    params.set("pad_h", g.padY);
    params.set("pad_w", g.padX);
    params.set("num_output", channels);
    params.set("group", channels);
    params.set("bias_term", g.bias);
    params.blobs.push_back(weights);
    if (g.bias)
        params.blobs.push_back(bias);
    return runOneLayer("Convolution", params, input);
}

cv::Mat depthwiseConvolution(const Geometry& g, const cv::Mat& weights, const cv::Mat& bias, const cv::Mat& input)
{
    DepthwiseConvolutionLayer::registerType();
    cv::dnn::LayerParams params;
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
// than the kernel that only its padding makes convolvable.
TEST(DepthwiseConvolution, MatchesOpenCvsGroupedConvolution)
{
    const std::vector<Geometry> geometries = {
        {5, 1, 1, 2, 2, true}, {5, 2, 1, 2, 2, true}, {5, 1, 2, 2, 2, false}, {5, 2, 2, 2, 2, true},
        {3, 1, 1, 1, 1, true}, {3, 2, 1, 1, 1, false}, {3, 1, 2, 1, 1, true}, {5, 1, 1, 0, 0, true},
        {7, 1, 1, 3, 3, true}, {5, 1, 3, 1, 2, true},
    };
    const std::vector<std::pair<int, int>> planeSizes = {{12, 80}, {7, 33}, {3, 3}, {1, 17}, {9, 1}};
    int seed = 1;
    for (const Geometry& g : geometries) {
        for (const auto& [height, width] : planeSizes) {
            if (height + 2 * g.padY < g.kernel || width + 2 * g.padX < g.kernel)
                continue;
            const int channels = 6;
            const cv::Mat input = randomBlob({2, channels, height, width}, seed++);
            const cv::Mat weights = randomBlob({channels, 1, g.kernel, g.kernel}, seed++);
            const cv::Mat bias = randomBlob({1, channels}, seed++);
            const cv::Mat expected = referenceConvolution(g, weights, bias, input);
            const cv::Mat actual = depthwiseConvolution(g, weights, bias, input);
            SCOPED_TRACE(cv::format("kernel %d stride %dx%d pad %dx%d bias %d plane %dx%d", g.kernel, g.strideY,
                                    g.strideX, g.padY, g.padX, g.bias, height, width));
            ASSERT_EQ(cv::dnn::shape(actual), cv::dnn::shape(expected));
            EXPECT_LT(cv::norm(actual, expected, cv::NORM_INF), 1e-5);
        }
    }
}

TEST(DepthwiseConvolution, RefusesWeightsThatDoNotFitTheKernel)
{
    DepthwiseConvolutionLayer::registerType();
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

} // namespace

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

// The dense convolution, the up-convolution and the linear map: tiles of
// output channels by vectors of columns, summed in registers.

namespace scrivel {

using namespace layers;

namespace {

// ---------------------------------------------------------------------------
// Dense convolution tiles. A tile is up to kPanelRows output channels by two
// vectors of consecutive output columns; its sums stay in registers while
// every input channel and kernel tap is added, so each input vector loaded
// serves six channels and each broadcast weight two vectors.

constexpr int kPanelRows = 6;
constexpr int kTileVectors = 2;
// The widest tile's columns: what a buffer leaves after its end for a row
// narrower than a tile to read into.
constexpr int kWidestTile = 16 * kTileVectors;

const ConvolutionActivation kNoActivation{};

// A tile's inputs: floats, or (bfloat16 products) pairs of bfloat16 values
// of two consecutive input channels in one 32-bit word, the lower channel in
// the low half.
template <typename Element>
struct Tile {
    const Element* panel = nullptr;          // [taps][kPanelRows]
    const float* bias = nullptr;             // kPanelRows values
    const std::ptrdiff_t* offsets = nullptr; // per tap, from `input`
    int taps = 0;
    const Element* input = nullptr; // the tile's first column, tap offset 0
    float* output = nullptr;        // the panel's first channel, the tile's first column
    std::ptrdiff_t outputChannelStride = 0;
    int rows = 0;    // output channels in this panel
    int columns = 0; // columns to store, at most the tile's width
    const ConvolutionActivation* activation = nullptr;
};
using DenseTile = Tile<float>;
using PairTile = Tile<std::uint32_t>;

// The same arithmetic as layers::hardSwish(), on a vector in place.
template <typename Vector>
[[gnu::always_inline]] inline void applyActivation(Vector& x, const ConvolutionActivation& activation)
{
    switch (activation.kind) {
    case ConvolutionActivation::Kind::none:
        break;
    case ConvolutionActivation::Kind::relu:
        x = x > Vector{} ? x : Vector{};
        break;
    case ConvolutionActivation::Kind::hardSwish: {
        Vector gate = x * (1.0F / 6.0F) + 0.5F;
        gate = gate > Vector{} ? gate : Vector{};
        gate = gate < 1.0F ? gate : Vector{} + 1.0F;
        x = x * gate * activation.scale + activation.shift;
        break;
    }
    }
}

template <typename Vector, typename Element>
[[gnu::always_inline]] inline void storeTile(Vector (&sums)[kPanelRows][kTileVectors], const Tile<Element>& t)
{
    constexpr int kLanes = sizeof(Vector) / sizeof(float);
    constexpr int kWidth = kLanes * kTileVectors;
    for (int r = 0; r < t.rows; ++r)
        for (int v = 0; v < kTileVectors; ++v)
            applyActivation(sums[r][v], *t.activation);
    for (int r = 0; r < t.rows; ++r) {
        float* out = t.output + r * t.outputChannelStride;
        if (t.columns == kWidth) {
            for (int v = 0; v < kTileVectors; ++v)
                std::memcpy(out + v * kLanes, &sums[r][v], sizeof(Vector));
        } else {
            float row[kWidth];
            std::memcpy(row, sums[r], sizeof(row));
            std::memcpy(out, row, sizeof(float) * t.columns);
        }
    }
}

template <typename Vector>
[[gnu::always_inline]] inline void computeDenseTile(const DenseTile& t)
{
    constexpr int kLanes = sizeof(Vector) / sizeof(float);
    Vector sums[kPanelRows][kTileVectors];
    for (int r = 0; r < kPanelRows; ++r)
        for (int v = 0; v < kTileVectors; ++v)
            sums[r][v] = Vector{} + t.bias[r];
    const float* weights = t.panel;
    for (int k = 0; k < t.taps; ++k, weights += kPanelRows) {
        const float* source = t.input + t.offsets[k];
        Vector values[kTileVectors];
        for (int v = 0; v < kTileVectors; ++v)
            std::memcpy(&values[v], source + v * kLanes, sizeof(Vector));
        for (int r = 0; r < kPanelRows; ++r)
            for (int v = 0; v < kTileVectors; ++v)
                sums[r][v] += values[v] * weights[r];
    }
    storeTile(sums, t);
}

// One build of the tile loop per vector width, each keeping its sums within
// that machine's registers; the widest the processor runs is picked.
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS

__attribute__((target("arch=x86-64-v4"))) void denseTilesX16(const DenseTile* tiles, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        computeDenseTile<FloatX16>(tiles[i]);
}

__attribute__((target("arch=x86-64-v3"))) void denseTilesX8(const DenseTile* tiles, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        computeDenseTile<FloatX8>(tiles[i]);
}

// Products of bfloat16 pairs summed in float (AVX-512 BF16): each
// instruction adds two input channels' products per lane, twice the float
// loop's rate. The inputs keep 8 bits of mantissa, so each product is off by
// up to about 0.8 % of itself; the sums are exact to float.
#define SCRIVEL_BF16_TARGET __attribute__((target("arch=x86-64-v4,avx512bf16")))

SCRIVEL_BF16_TARGET void pairTilesX16(const PairTile* tiles, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const PairTile& t = tiles[i];
        __m512 sums[kPanelRows][kTileVectors];
        for (int r = 0; r < kPanelRows; ++r)
            for (int v = 0; v < kTileVectors; ++v)
                sums[r][v] = _mm512_set1_ps(t.bias[r]);
        const std::uint32_t* weights = t.panel;
        for (int k = 0; k < t.taps; ++k, weights += kPanelRows) {
            const std::uint32_t* source = t.input + t.offsets[k];
            __m512bh values[kTileVectors];
            for (int v = 0; v < kTileVectors; ++v)
                values[v] = reinterpret_cast<__m512bh>(_mm512_loadu_si512(source + v * 16));
            for (int r = 0; r < kPanelRows; ++r) {
                const auto weight = reinterpret_cast<__m512bh>(_mm512_set1_epi32(static_cast<int>(weights[r])));
                for (int v = 0; v < kTileVectors; ++v)
                    sums[r][v] = _mm512_dpbf16_ps(sums[r][v], values[v], weight);
            }
        }
        FloatX16 stored[kPanelRows][kTileVectors];
        for (int r = 0; r < kPanelRows; ++r)
            for (int v = 0; v < kTileVectors; ++v)
                stored[r][v] = reinterpret_cast<FloatX16>(sums[r][v]);
        storeTile(stored, t);
    }
}

// GCC 12's own intrinsics trip its uninitialised-value check (their
// "undefined" pass-through operands).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
SCRIVEL_BF16_TARGET inline __m512i packedPairs(__m512 low, __m512 high)
{
    const __m512i lowHalves = _mm512_cvtepu16_epi32(reinterpret_cast<__m256i>(_mm512_cvtneps_pbh(low)));
    const __m512i highHalves = _mm512_cvtepu16_epi32(reinterpret_cast<__m256i>(_mm512_cvtneps_pbh(high)));
    return _mm512_or_si512(lowHalves, _mm512_slli_epi32(highHalves, 16));
}

// `count` values of `low` and of `high` (zeros where null) as bfloat16 pairs,
// rounded to nearest even.
SCRIVEL_BF16_TARGET void packPairs(const float* low, const float* high, std::uint32_t* out, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16)
        _mm512_storeu_si512(out + i, packedPairs(_mm512_loadu_ps(low + i),
                                                 high ? _mm512_loadu_ps(high + i) : _mm512_setzero_ps()));
    if (i < count) {
        const auto mask = static_cast<__mmask16>((1U << (count - i)) - 1U);
        const __m512 lowValues = _mm512_maskz_loadu_ps(mask, low + i);
        const __m512 highValues = high ? _mm512_maskz_loadu_ps(mask, high + i) : _mm512_setzero_ps();
        _mm512_mask_storeu_epi32(out + i, mask, packedPairs(lowValues, highValues));
    }
}
#pragma GCC diagnostic pop

// A weight rounded to bfloat16 as the processor rounds (nearest, ties to
// even); weights are finite.
std::uint32_t bf16Bits(float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    bits += 0x7FFFU + ((bits >> 16) & 1U);
    return bits >> 16;
}

#endif


// Whether a layer made with `params` (attribute bf16, 1 when absent) and
// lane limit takes bfloat16 products: decided once, so that only the
// weights it uses are packed.
bool takesBf16Products(const cv::dnn::LayerParams& params, int laneLimit)
{
    return params.get<int>("bf16", 1) != 0 && bfloat16ProductsAvailable() && vectorLanes(laneLimit) == 16;
}

void denseTilesX4(const DenseTile* tiles, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        computeDenseTile<FloatX4>(tiles[i]);
}

template <typename Element>
struct TileKernel {
    int width = 0; // output columns per tile
    void (*run)(const Tile<Element>* tiles, std::size_t count) = nullptr;
};
using DenseTileKernel = TileKernel<float>;

DenseTileKernel denseTileKernel(int laneLimit)
{
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    switch (vectorLanes(laneLimit)) {
    case 16:
        return {kWidestTile, &denseTilesX16};
    case 8:
        return {8 * kTileVectors, &denseTilesX8};
    default:
        break;
    }
#endif
    return {4 * kTileVectors, &denseTilesX4};
}

// Weights [outChannels][taps] in panels of kPanelRows channels, tap by tap,
// each tap's weights for the panel's channels together; channels past
// outChannels are zero. `weightAt(channel, tap)` reads the layer's own layout.
template <typename Element, typename WeightAt>
void packPanels(int outChannels, int taps, WeightAt weightAt, const float* bias, std::vector<Element>& panels,
                std::vector<float>& packedBias)
{
    const int packedChannels = (outChannels + kPanelRows - 1) / kPanelRows * kPanelRows;
    panels.assign(static_cast<std::size_t>(packedChannels) * taps, Element{});
    packedBias.assign(packedChannels, 0.0F);
    for (int channel = 0; channel < outChannels; ++channel) {
        Element* panel = panels.data() + static_cast<std::size_t>(channel / kPanelRows) * taps * kPanelRows;
        for (int k = 0; k < taps; ++k)
            panel[static_cast<std::size_t>(k) * kPanelRows + channel % kPanelRows] = weightAt(channel, k);
        if (bias)
            packedBias[channel] = bias[channel];
    }
}

// One pass of tiles: for each image, each row of output columns and each
// panel, the tile whose taps read `source` at `offsets` from the tile's
// first input. Output channel c of image n, row r, column x lands at
// target[(n · outChannels + c) · targetPlane + r · rowWidth + x].
template <typename Element>
struct Pass {
    const std::vector<Element>* panels = nullptr;
    const std::vector<float>* bias = nullptr;
    int outChannels = 0;
    const std::vector<std::ptrdiff_t>* offsets = nullptr; // one per tap
    const Element* source = nullptr;
    std::ptrdiff_t sourceImage = 0;
    int sourceRowStride = 0;
    int images = 0;
    int rowsPerImage = 0;
    int rowWidth = 0;
    float* target = nullptr;
    std::ptrdiff_t targetPlane = 0;
    const ConvolutionActivation* activation = &kNoActivation;
};
using DensePass = Pass<float>;

template <typename Element>
void runPass(const Pass<Element>& pass, const TileKernel<Element>& kernel)
{
    const int width = kernel.width;
    const int taps = static_cast<int>(pass.offsets->size());
    const int panelCount = static_cast<int>(pass.bias->size()) / kPanelRows;
    // A row's last tile is moved back to end at the row's end, recomputing a
    // few columns rather than reading past the row; a row narrower than a
    // tile reads past its end, which the caller leaves room for.
    const int tilesPerRow = (pass.rowWidth + width - 1) / width;
    cv::parallel_for_(cv::Range(0, pass.images * pass.rowsPerImage * tilesPerRow), [&](const cv::Range& range) {
        std::vector<Tile<Element>> tiles;
        tiles.reserve(panelCount);
        for (int item = range.start; item < range.end; ++item) {
            const int image = item / (pass.rowsPerImage * tilesPerRow);
            const int row = item / tilesPerRow % pass.rowsPerImage;
            const int column =
                pass.rowWidth >= width ? std::min(item % tilesPerRow * width, pass.rowWidth - width) : 0;
            tiles.clear();
            for (int panel = 0; panel < panelCount; ++panel) {
                Tile<Element>& tile = tiles.emplace_back();
                tile.panel = pass.panels->data() + static_cast<std::size_t>(panel) * taps * kPanelRows;
                tile.bias = pass.bias->data() + static_cast<std::size_t>(panel) * kPanelRows;
                tile.offsets = pass.offsets->data();
                tile.taps = taps;
                tile.input = pass.source + image * pass.sourceImage +
                             static_cast<std::ptrdiff_t>(row) * pass.sourceRowStride + column;
                tile.output = pass.target +
                              (static_cast<std::ptrdiff_t>(image) * pass.outChannels + panel * kPanelRows) *
                                  pass.targetPlane +
                              static_cast<std::ptrdiff_t>(row) * pass.rowWidth + column;
                tile.outputChannelStride = pass.targetPlane;
                tile.rows = std::min(kPanelRows, pass.outChannels - panel * kPanelRows);
                tile.columns = std::min(width, pass.rowWidth);
                tile.activation = pass.activation;
            }
            kernel.run(tiles.data(), tiles.size());
        }
    });
}

} // namespace

// ---------------------------------------------------------------------------

DenseConvolutionLayer::DenseConvolutionLayer(const cv::dnn::LayerParams& params)
{
    setParamsFrom(params);
    refuseUnknownAttributes(params, kType,
                            {"pad_h", "pad_w", "lane_limit", "bf16", "activation", "act_scale", "act_shift"});
    padY_ = params.get<int>("pad_h", 0);
    padX_ = params.get<int>("pad_w", 0);
    laneLimit_ = params.get<int>("lane_limit", 0);
    activation_ = ConvolutionActivation::fromParams(params);
    if (padY_ < 0 || padX_ < 0)
        CV_Error(cv::Error::StsBadArg, "ScrivelConv padding must not be negative");
    if (blobs.empty() || blobs.size() > 2)
        CV_Error(cv::Error::StsBadArg, "ScrivelConv takes weights and an optional bias");
    const cv::Mat& weights = blobs[0];
    if (weights.type() != CV_32F || weights.dims != 4 || !weights.isContinuous())
        CV_Error(cv::Error::StsBadArg, "ScrivelConv weights must be float [Cout, Cin, kh, kw]");
    outChannels_ = weights.size[0];
    inChannels_ = weights.size[1];
    kernelY_ = weights.size[2];
    kernelX_ = weights.size[3];
    if (blobs.size() == 2 &&
        (blobs[1].type() != CV_32F || blobs[1].total() != static_cast<std::size_t>(outChannels_)))
        CV_Error(cv::Error::StsBadArg, "ScrivelConv bias must hold one float per output channel");

    const auto* source = weights.ptr<float>();
    const float* bias = blobs.size() == 2 ? blobs[1].ptr<float>() : nullptr;
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    if (takesBf16Products(params, laneLimit_)) {
        // Tap (pair, ky, kx) multiplies input channels 2·pair and 2·pair + 1.
        const int kernelArea = kernelY_ * kernelX_;
        const int pairs = (inChannels_ + 1) / 2;
        const auto weightAt = [&](int channel, int inChannel, int cell) {
            return inChannel < inChannels_
                       ? source[(static_cast<std::size_t>(channel) * inChannels_ + inChannel) * kernelArea + cell]
                       : 0.0F;
        };
        packPanels(
            outChannels_, pairs * kernelArea,
            [&](int channel, int tap) {
                const int pair = tap / kernelArea;
                const int cell = tap % kernelArea;
                return bf16Bits(weightAt(channel, 2 * pair, cell)) |
                       (bf16Bits(weightAt(channel, 2 * pair + 1, cell)) << 16);
            },
            bias, pairPanels_, bias_);
        return;
    }
#endif
    const int taps = inChannels_ * kernelY_ * kernelX_;
    packPanels(
        outChannels_, taps,
        [&](int channel, int tap) { return source[static_cast<std::size_t>(channel) * taps + tap]; }, bias,
        panels_, bias_);
}

bool DenseConvolutionLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int,
                                            std::vector<cv::dnn::MatShape>& outputs,
                                            std::vector<cv::dnn::MatShape>&) const
{
    if (inputs.size() != 1 || inputs[0].size() != 4)
        CV_Error(cv::Error::StsBadArg, "ScrivelConv takes one NCHW input");
    const cv::dnn::MatShape& in = inputs[0];
    if (in[1] != inChannels_)
        CV_Error(cv::Error::StsBadArg, "ScrivelConv input channels differ from its weights");
    // A size the importer does not know yet (zero or less) stays open.
    const auto outSize = [](int size, int pad, int kernel) {
        if (size <= 0)
            return size;
        const int out = size + 2 * pad - kernel + 1;
        if (out < 1)
            CV_Error(cv::Error::StsBadArg, "ScrivelConv input is smaller than its kernel");
        return out;
    };
    outputs.assign(1, cv::dnn::MatShape{in[0], outChannels_, outSize(in[2], padY_, kernelY_),
                                        outSize(in[3], padX_, kernelX_)});
    return false;
}

void DenseConvolutionLayer::forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray,
                                    cv::OutputArrayOfArrays)
{
    const std::vector<cv::Mat> inputs = matsOf(inputsArray);
    std::vector<cv::Mat> outputs = matsOf(outputsArray);
    const cv::Mat& input = inputs[0];
    cv::Mat& output = outputs[0];
    if (input.dims != 4 || input.size[1] != inChannels_ || output.dims != 4 || output.size[1] != outChannels_)
        CV_Error(cv::Error::StsBadArg, "ScrivelConv input channels differ from its weights");

    const DenseTileKernel kernel = denseTileKernel(laneLimit_);
    const int width = kernel.width;
    const int images = input.size[0];
    const int height = input.size[2];
    const int inWidth = input.size[3];
    const int outHeight = output.size[2];
    const int outWidth = output.size[3];
    const std::ptrdiff_t outPlane = static_cast<std::ptrdiff_t>(outHeight) * outWidth;
    const int taps = inChannels_ * kernelY_ * kernelX_;

    // Without padding, a 1 × 1 kernel reads its input in place, the whole
    // plane as one long row. Otherwise the input is copied once into
    // zero-bordered planes, and the kernel's taps become offsets into them.
    const bool inPlace = kernelY_ == 1 && kernelX_ == 1 && padY_ == 0 && padX_ == 0 && outPlane >= width;
    const int rowWidth = inPlace ? static_cast<int>(outPlane) : outWidth; // output columns per row
    const int rowsPerImage = inPlace ? 1 : outHeight;
    const int sourceRowStride = inPlace ? 0 : inWidth + 2 * padX_;
    const std::ptrdiff_t sourcePlane =
        inPlace ? outPlane : static_cast<std::ptrdiff_t>(height + 2 * padY_) * sourceRowStride;
    const std::ptrdiff_t sourceImage = sourcePlane * inChannels_;

#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    if (!pairPanels_.empty()) {
        forwardInPairs(input, output, inPlace, rowWidth, rowsPerImage, sourceRowStride, sourcePlane);
        return;
    }
#endif
    std::vector<float> padded;
    const float* source = input.ptr<float>();
    if (!inPlace) {
        // A row narrower than one tile reads up to a tile's width past its
        // end, the last row past the planes.
        padded.assign(static_cast<std::size_t>(sourceImage) * images + width, 0.0F);
        for (int plane = 0; plane < images * inChannels_; ++plane)
            for (int y = 0; y < height; ++y)
                std::memcpy(padded.data() + plane * sourcePlane +
                                static_cast<std::ptrdiff_t>(y + padY_) * sourceRowStride + padX_,
                            source + (static_cast<std::ptrdiff_t>(plane) * height + y) * inWidth,
                            sizeof(float) * inWidth);
        source = padded.data();
    }
    std::vector<std::ptrdiff_t> offsets(taps);
    for (int c = 0, k = 0; c < inChannels_; ++c)
        for (int ky = 0; ky < kernelY_; ++ky)
            for (int kx = 0; kx < kernelX_; ++kx)
                offsets[k++] = c * sourcePlane + static_cast<std::ptrdiff_t>(ky) * sourceRowStride + kx;

    DensePass pass;
    pass.panels = &panels_;
    pass.bias = &bias_;
    pass.outChannels = outChannels_;
    pass.offsets = &offsets;
    pass.source = source;
    pass.sourceImage = sourceImage;
    pass.sourceRowStride = sourceRowStride;
    pass.images = images;
    pass.rowsPerImage = rowsPerImage;
    pass.rowWidth = rowWidth;
    pass.target = output.ptr<float>();
    pass.targetPlane = outPlane;
    pass.activation = &activation_;
    runPass(pass, kernel);
}

void DenseConvolutionLayer::forwardInPairs(const cv::Mat& input, cv::Mat& output, bool inPlace, int rowWidth,
                                           int rowsPerImage, int sourceRowStride, std::ptrdiff_t sourcePlane) const
{
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    // The input as planes of channel pairs, laid out as the float path lays
    // out its planes (zero borders where padded).
    const int images = input.size[0];
    const int height = input.size[2];
    const int inWidth = input.size[3];
    const int pairs = (inChannels_ + 1) / 2;
    const std::ptrdiff_t inPlane = static_cast<std::ptrdiff_t>(height) * inWidth;
    std::vector<std::uint32_t> pairPlanes(static_cast<std::size_t>(images) * pairs * sourcePlane + kWidestTile, 0U);
    const auto* in = input.ptr<float>();
    cv::parallel_for_(cv::Range(0, images * pairs), [&](const cv::Range& range) {
        for (int item = range.start; item < range.end; ++item) {
            const int image = item / pairs;
            const int low = item % pairs * 2;
            const float* lowPlane = in + (static_cast<std::ptrdiff_t>(image) * inChannels_ + low) * inPlane;
            const float* highPlane = low + 1 < inChannels_ ? lowPlane + inPlane : nullptr;
            std::uint32_t* target = pairPlanes.data() + static_cast<std::ptrdiff_t>(item) * sourcePlane;
            if (inPlace) {
                packPairs(lowPlane, highPlane, target, static_cast<std::size_t>(inPlane));
                continue;
            }
            for (int y = 0; y < height; ++y)
                packPairs(lowPlane + static_cast<std::ptrdiff_t>(y) * inWidth,
                          highPlane ? highPlane + static_cast<std::ptrdiff_t>(y) * inWidth : nullptr,
                          target + static_cast<std::ptrdiff_t>(y + padY_) * sourceRowStride + padX_,
                          static_cast<std::size_t>(inWidth));
        }
    });
    std::vector<std::ptrdiff_t> offsets(static_cast<std::size_t>(pairs) * kernelY_ * kernelX_);
    for (int pair = 0, k = 0; pair < pairs; ++pair)
        for (int ky = 0; ky < kernelY_; ++ky)
            for (int kx = 0; kx < kernelX_; ++kx)
                offsets[k++] = pair * sourcePlane + static_cast<std::ptrdiff_t>(ky) * sourceRowStride + kx;

    Pass<std::uint32_t> pass;
    pass.panels = &pairPanels_;
    pass.bias = &bias_;
    pass.outChannels = outChannels_;
    pass.offsets = &offsets;
    pass.source = pairPlanes.data();
    pass.sourceImage = sourcePlane * pairs;
    pass.sourceRowStride = sourceRowStride;
    pass.images = images;
    pass.rowsPerImage = rowsPerImage;
    pass.rowWidth = rowWidth;
    pass.target = output.ptr<float>();
    pass.targetPlane = static_cast<std::ptrdiff_t>(output.size[2]) * output.size[3];
    pass.activation = &activation_;
    runPass(pass, TileKernel<std::uint32_t>{kWidestTile, &pairTilesX16});
#else
    (void)input, (void)output, (void)inPlace, (void)rowWidth, (void)rowsPerImage, (void)sourceRowStride,
        (void)sourcePlane;
#endif
}

// ---------------------------------------------------------------------------

UpConvolutionLayer::UpConvolutionLayer(const cv::dnn::LayerParams& params)
{
    setParamsFrom(params);
    refuseUnknownAttributes(params, kType, {"lane_limit"});
    laneLimit_ = params.get<int>("lane_limit", 0);
    if (blobs.empty() || blobs.size() > 2)
        CV_Error(cv::Error::StsBadArg, "ScrivelUpConv takes weights and an optional bias");
    const cv::Mat& weights = blobs[0];
    if (weights.type() != CV_32F || weights.dims != 4 || !weights.isContinuous() || weights.size[2] != weights.size[3])
        CV_Error(cv::Error::StsBadArg, "ScrivelUpConv weights must be float [Cin, Cout, k, k]");
    inChannels_ = weights.size[0];
    outChannels_ = weights.size[1];
    kernel_ = weights.size[2];
    if (blobs.size() == 2 &&
        (blobs[1].type() != CV_32F || blobs[1].total() != static_cast<std::size_t>(outChannels_)))
        CV_Error(cv::Error::StsBadArg, "ScrivelUpConv bias must hold one float per output channel");

    // Spread channel j = (c · k + row) · k + column takes weight [tap, c, row, column].
    const int cell = kernel_ * kernel_;
    const auto* source = weights.ptr<float>();
    std::vector<float> spreadBias(static_cast<std::size_t>(outChannels_) * cell, 0.0F);
    for (int j = 0; blobs.size() == 2 && j < outChannels_ * cell; ++j)
        spreadBias[j] = blobs[1].ptr<float>()[j / cell];
    packPanels(
        outChannels_ * cell, inChannels_,
        [&](int channel, int tap) {
            return source[(static_cast<std::size_t>(tap) * outChannels_ * cell) + channel];
        },
        spreadBias.data(), panels_, bias_);
}

bool UpConvolutionLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int,
                                         std::vector<cv::dnn::MatShape>& outputs,
                                         std::vector<cv::dnn::MatShape>&) const
{
    if (inputs.size() != 1 || inputs[0].size() != 4)
        CV_Error(cv::Error::StsBadArg, "ScrivelUpConv takes one NCHW input");
    const cv::dnn::MatShape& in = inputs[0];
    if (in[1] != inChannels_)
        CV_Error(cv::Error::StsBadArg, "ScrivelUpConv input channels differ from its weights");
    // A size the importer does not know yet (zero or less) stays open.
    const auto grown = [&](int size) { return size <= 0 ? size : size * kernel_; };
    outputs.assign(1, cv::dnn::MatShape{in[0], outChannels_, grown(in[2]), grown(in[3])});
    return false;
}

void UpConvolutionLayer::forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray,
                                 cv::OutputArrayOfArrays)
{
    const std::vector<cv::Mat> inputs = matsOf(inputsArray);
    std::vector<cv::Mat> outputs = matsOf(outputsArray);
    const cv::Mat& input = inputs[0];
    cv::Mat& output = outputs[0];
    if (input.dims != 4 || input.size[1] != inChannels_ || output.dims != 4 || output.size[1] != outChannels_ ||
        output.size[2] != input.size[2] * kernel_ || output.size[3] != input.size[3] * kernel_)
        CV_Error(cv::Error::StsBadArg, "ScrivelUpConv input does not fit its weights");

    const DenseTileKernel kernel = denseTileKernel(laneLimit_);
    const int images = input.size[0];
    const int height = input.size[2];
    const int width = input.size[3];
    const std::ptrdiff_t plane = static_cast<std::ptrdiff_t>(height) * width;
    const int cell = kernel_ * kernel_;
    const int spreadChannels = outChannels_ * cell;

    // Planes are read in place as one long row each, unless a plane is
    // narrower than one tile, which then reads past it.
    std::vector<float> copy;
    const float* source = input.ptr<float>();
    if (plane < kernel.width) {
        copy.assign(source, source + input.total());
        copy.resize(copy.size() + kernel.width, 0.0F);
        source = copy.data();
    }
    std::vector<std::ptrdiff_t> offsets(inChannels_);
    for (int c = 0; c < inChannels_; ++c)
        offsets[c] = c * plane;
    std::vector<float> spread(static_cast<std::size_t>(images) * spreadChannels * plane);

    DensePass pass;
    pass.panels = &panels_;
    pass.bias = &bias_;
    pass.outChannels = spreadChannels;
    pass.offsets = &offsets;
    pass.source = source;
    pass.sourceImage = plane * inChannels_;
    pass.images = images;
    pass.rowsPerImage = 1;
    pass.rowWidth = static_cast<int>(plane);
    pass.target = spread.data();
    pass.targetPlane = plane;
    runPass(pass, kernel);

    // Each input row becomes k output rows; output (y·k + r, x·k + c) is
    // spread channel (channel, r, c) at (y, x).
    const int outWidth = width * kernel_;
    auto* target = output.ptr<float>();
    cv::parallel_for_(cv::Range(0, images * outChannels_ * height), [&](const cv::Range& range) {
        for (int item = range.start; item < range.end; ++item) {
            const int y = item % height;
            const int imageChannel = item / height; // image · Cout + channel
            const float* cellPlanes = spread.data() + static_cast<std::ptrdiff_t>(imageChannel) * cell * plane +
                                      static_cast<std::ptrdiff_t>(y) * width;
            for (int r = 0; r < kernel_; ++r) {
                float* out = target + (static_cast<std::ptrdiff_t>(imageChannel) * height * kernel_ + y * kernel_ + r) *
                                          outWidth;
                for (int c = 0; c < kernel_; ++c) {
                    const float* in = cellPlanes + static_cast<std::ptrdiff_t>(r * kernel_ + c) * plane;
                    for (int x = 0; x < width; ++x)
                        out[x * kernel_ + c] = in[x];
                }
            }
        }
    });
}

// ---------------------------------------------------------------------------

namespace {

// A linear layer's tiles: `panels` holds the input rows, six to a panel, tap
// by tap; `transposed` the weights' rows, one per tap, `outChannels` long
// (and a tile's width of zeros after the last).
template <typename Element>
void runLinearTiles(const std::vector<Element>& panels, const Element* transposed, int taps, int rows, int outChannels,
                    float* target, const TileKernel<Element>& kernel)
{
    const int panelCount = (rows + kPanelRows - 1) / kPanelRows;
    std::vector<std::ptrdiff_t> offsets(taps);
    for (int k = 0; k < taps; ++k)
        offsets[k] = static_cast<std::ptrdiff_t>(k) * outChannels;
    const float zeros[kPanelRows] = {};
    const int width = kernel.width;
    const int tilesPerRow = (outChannels + width - 1) / width;
    cv::parallel_for_(cv::Range(0, panelCount * tilesPerRow), [&](const cv::Range& range) {
        std::vector<Tile<Element>> tiles;
        // Every panel in turn takes the same columns of the weights, which
        // then stay in the nearest cache: the head's weights are megabytes.
        for (int item = range.start; item < range.end; ++item) {
            const int panel = item % panelCount;
            // The last tile ends at the last output channel, as a dense row's
            // does; fewer channels than a tile read into the zeros after them.
            const int column = outChannels >= width ? std::min(item / panelCount * width, outChannels - width) : 0;
            Tile<Element>& tile = tiles.emplace_back();
            tile.panel = panels.data() + static_cast<std::size_t>(panel) * taps * kPanelRows;
            tile.bias = zeros;
            tile.offsets = offsets.data();
            tile.taps = taps;
            tile.input = transposed + column;
            tile.output = target + static_cast<std::ptrdiff_t>(panel) * kPanelRows * outChannels + column;
            tile.outputChannelStride = outChannels;
            tile.rows = std::min(kPanelRows, rows - panel * kPanelRows);
            tile.columns = std::min(width, outChannels);
            tile.activation = &kNoActivation;
        }
        kernel.run(tiles.data(), tiles.size());
    });
}

SCRIVEL_VECTOR_CLONES void addTo(float* values, const float* addends, int count)
{
    for (int i = 0; i < count; ++i)
        values[i] += addends[i];
}

} // namespace

LinearLayer::LinearLayer(const cv::dnn::LayerParams& params)
{
    setParamsFrom(params);
    refuseUnknownAttributes(params, kType, {"lane_limit", "bf16"});
    laneLimit_ = params.get<int>("lane_limit", 0);
    if (blobs.empty() || blobs.size() > 2)
        CV_Error(cv::Error::StsBadArg, "ScrivelLinear takes weights and an optional bias");
    const cv::Mat& weights = blobs[0];
    if (weights.type() != CV_32F || weights.dims != 2 || !weights.isContinuous())
        CV_Error(cv::Error::StsBadArg, "ScrivelLinear weights must be float [Cout, Cin]");
    outChannels_ = weights.size[0];
    inChannels_ = weights.size[1];
    hasBias_ = blobs.size() == 2;
    if (hasBias_ && (blobs[1].type() != CV_32F || blobs[1].total() != static_cast<std::size_t>(outChannels_)))
        CV_Error(cv::Error::StsBadArg, "ScrivelLinear bias must hold one float per output channel");

    const auto* source = weights.ptr<float>();
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    if (takesBf16Products(params, laneLimit_)) {
        // Row `pair`: input channels 2·pair and 2·pair + 1 for every output.
        const int pairs = (inChannels_ + 1) / 2;
        transposedPairs_.assign(static_cast<std::size_t>(pairs) * outChannels_ + kWidestTile, 0U);
        for (int pair = 0; pair < pairs; ++pair)
            for (int out = 0; out < outChannels_; ++out) {
                const float* row = source + static_cast<std::size_t>(out) * inChannels_;
                const float high = 2 * pair + 1 < inChannels_ ? row[2 * pair + 1] : 0.0F;
                transposedPairs_[static_cast<std::size_t>(pair) * outChannels_ + out] =
                    bf16Bits(row[2 * pair]) | (bf16Bits(high) << 16);
            }
        return;
    }
#endif
    const int rows = inChannels_ + (hasBias_ ? 1 : 0);
    transposed_.assign(static_cast<std::size_t>(rows) * outChannels_ + kWidestTile, 0.0F);
    for (int out = 0; out < outChannels_; ++out) {
        for (int in = 0; in < inChannels_; ++in)
            transposed_[static_cast<std::size_t>(in) * outChannels_ + out] =
                source[static_cast<std::size_t>(out) * inChannels_ + in];
        if (hasBias_)
            transposed_[static_cast<std::size_t>(inChannels_) * outChannels_ + out] = blobs[1].ptr<float>()[out];
    }
}

bool LinearLayer::getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, int,
                                  std::vector<cv::dnn::MatShape>& outputs, std::vector<cv::dnn::MatShape>&) const
{
    if (inputs.size() != 1 || inputs[0].empty())
        CV_Error(cv::Error::StsBadArg, "ScrivelLinear takes one input");
    cv::dnn::MatShape shape = inputs[0];
    if (shape.back() != inChannels_)
        CV_Error(cv::Error::StsBadArg, "ScrivelLinear input's last axis differs from its weights");
    shape.back() = outChannels_;
    outputs.assign(1, shape);
    return false;
}

void LinearLayer::forward(cv::InputArrayOfArrays inputsArray, cv::OutputArrayOfArrays outputsArray,
                          cv::OutputArrayOfArrays)
{
    const std::vector<cv::Mat> inputs = matsOf(inputsArray);
    std::vector<cv::Mat> outputs = matsOf(outputsArray);
    const cv::Mat& input = inputs[0];
    cv::Mat& output = outputs[0];
    if (input.dims < 1 || input.size[input.dims - 1] != inChannels_ ||
        output.total() != input.total() / inChannels_ * outChannels_)
        CV_Error(cv::Error::StsBadArg, "ScrivelLinear input's last axis differs from its weights");

    // The roles of the dense tile swap: six input rows are the panel, read
    // one input channel at a time, and the weights' rows are the vectors.
    // A bias is one more channel, 1 in every row (with bfloat16 products,
    // it is added afterwards, in float).
    const int rows = static_cast<int>(input.total() / inChannels_);
    const int panelCount = (rows + kPanelRows - 1) / kPanelRows;
    const auto* x = input.ptr<float>();
    auto* target = output.ptr<float>();
#ifdef SCRIVEL_WIDE_VECTOR_TARGETS
    if (!transposedPairs_.empty()) {
        const int pairs = (inChannels_ + 1) / 2;
        std::vector<std::uint32_t> panels(static_cast<std::size_t>(panelCount) * pairs * kPanelRows, 0U);
        for (int row = 0; row < rows; ++row) {
            const float* values = x + static_cast<std::size_t>(row) * inChannels_;
            std::uint32_t* panel = panels.data() + static_cast<std::size_t>(row / kPanelRows) * pairs * kPanelRows;
            for (int pair = 0; pair < pairs; ++pair) {
                const float high = 2 * pair + 1 < inChannels_ ? values[2 * pair + 1] : 0.0F;
                panel[static_cast<std::size_t>(pair) * kPanelRows + row % kPanelRows] =
                    bf16Bits(values[2 * pair]) | (bf16Bits(high) << 16);
            }
        }
        runLinearTiles(panels, transposedPairs_.data(), pairs, rows, outChannels_, target,
                       TileKernel<std::uint32_t>{kWidestTile, &pairTilesX16});
        if (hasBias_)
            for (int row = 0; row < rows; ++row)
                addTo(target + static_cast<std::size_t>(row) * outChannels_, blobs[1].ptr<float>(), outChannels_);
        return;
    }
#endif
    const int taps = inChannels_ + (hasBias_ ? 1 : 0);
    std::vector<float> panels(static_cast<std::size_t>(panelCount) * taps * kPanelRows, 0.0F);
    for (int row = 0; row < rows; ++row) {
        float* panel = panels.data() + static_cast<std::size_t>(row / kPanelRows) * taps * kPanelRows;
        for (int k = 0; k < inChannels_; ++k)
            panel[static_cast<std::size_t>(k) * kPanelRows + row % kPanelRows] =
                x[static_cast<std::size_t>(row) * inChannels_ + k];
        if (hasBias_)
            panel[static_cast<std::size_t>(inChannels_) * kPanelRows + row % kPanelRows] = 1.0F;
    }
    runLinearTiles(panels, transposed_.data(), taps, rows, outChannels_, target, denseTileKernel(laneLimit_));
}

} // namespace scrivel

#pragma once

// The network layers' shared pieces: vector types, the widest vectors the
// processor runs, element-wise loops and attribute checks. Used by the
// layers' own source files only.

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

#include "common/VectorClones.hpp"
#include "recognition/NetworkLayers.hpp"

namespace scrivel::layers {

// Vector types for the loops blocked by hand below. Each such loop is built
// once per vector width (explicit targets, since the block sizes differ
// with the register file), and the widest the processor runs is used.
using FloatX4 = float __attribute__((vector_size(16)));
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SCRIVEL_WIDE_VECTOR_TARGETS 1
using FloatX8 = float __attribute__((vector_size(32)));
using FloatX16 = float __attribute__((vector_size(64)));
#endif

// Float lanes of the widest vectors this processor runs (16, 8 or 4),
// narrowed to at most `laneLimit` when that is given (greater than zero), so
// that tests reach every build.
int vectorLanes(int laneLimit);

// x · clamp(x / 6 + 1/2, 0, 1) · scale + shift, element by element.
void hardSwish(const float* in, float scale, float shift, float* out, std::size_t count);
// in · factor.
void scale(const float* in, float factor, float* out, std::size_t count);
// in + in · factor.
void scaleOnto(const float* in, float factor, float* out, std::size_t count);
// max(x, 0) in place.
void rectify(float* values, std::size_t count);
// A convolution's activation applied in place.
void activate(float* values, const ConvolutionActivation& activation, std::size_t count);

// Element-wise work is split in blocks of this many values across OpenCV's threads.
inline constexpr std::size_t kElementBlock = 1 << 14;

// The layer's blobs, checked to be continuous float tensors.
std::vector<cv::Mat> matsOf(cv::InputArrayOfArrays arrays);

// A model prepared for a newer build may give a layer an attribute this
// build does not know (a fused step, say); ignoring it would compute
// something else without a word, so such a layer is refused. The importer
// adds has_dynamic_shapes of its own.
void refuseUnknownAttributes(const cv::dnn::LayerParams& params, const char* type,
                             std::initializer_list<std::string_view> known);

// Integer attribute `name`, at least `minimum`.
int positiveParam(const cv::dnn::LayerParams& params, const char* name, int minimum);

} // namespace scrivel::layers

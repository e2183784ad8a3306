#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ScrivelCore/NormalizedRect.hpp"

namespace scrivel {

enum class OCRQuality { fast, balanced, precise };
enum class RedactionKind { all, han, email, phone, custom };
enum class MaskStyle { blur, pixelate, solid, skeleton };

// Largest width or height a frame is scaled to before recognition; none = full size.
std::optional<double> maximumImageDimension(OCRQuality quality);

// Raw string values, as used in JSON and on the command line.
std::string_view rawValue(OCRQuality value);
std::string_view rawValue(RedactionKind value);
std::string_view rawValue(MaskStyle value);
// Exact raw strings only; anything else gives nullopt.
std::optional<OCRQuality> ocrQualityFromRaw(std::string_view raw);
std::optional<RedactionKind> redactionKindFromRaw(std::string_view raw);
std::optional<MaskStyle> maskStyleFromRaw(std::string_view raw);

struct ScanSettings {
    bool allText = false;
    OCRQuality quality = OCRQuality::balanced;
    float confidence = 0;
    bool blurHan = false;
    bool blurEmails = false;
    bool blurPhones = false;
    std::vector<std::string> customTerms;

    bool operator==(const ScanSettings&) const = default;
};

// Margins around each mask, pixels; negative values shrink the mask.
struct MaskPadding {
    double top = 0;
    double right = 0;
    double bottom = 0;
    double left = 0;

    bool operator==(const MaskPadding&) const = default;
};

// A user-drawn mask, in effect for startTime <= t < endTime.
struct ManualMask {
    std::string id;
    NormalizedRect rect;
    double startTime = 0;
    double endTime = 0;
    bool enabled = true;

    bool operator==(const ManualMask&) const = default;
};

struct RenderSettings {
    MaskStyle style = MaskStyle::blur;
    double blurRadius = 0;
    double pixelSize = 0;
    double cornerRadius = 0;
    double opacity = 0;
    double feather = 0;
    MaskPadding padding;
    std::uint32_t solidColor = 0;
    bool skeletonAnimation = false;
    std::vector<std::int64_t> excludedTrackIDs;
    std::vector<ManualMask> manualMasks;

    bool operator==(const RenderSettings&) const = default;
};

// What the preview uses until the page sends its own settings.
RenderSettings startingRenderSettings();

// Checks render settings before a preview or export uses them; throws
// ScrivelError::invalidMaskSettings at the first failure. With no video
// selected, pass a duration of 0.
void validateRenderSettings(const RenderSettings& settings, double videoDurationSeconds);

} // namespace scrivel

#include "ScrivelCore/Settings.hpp"

#include <cmath>
#include <unordered_set>

#include "ScrivelCore/Errors.hpp"

namespace scrivel {

std::optional<double> maximumImageDimension(OCRQuality quality)
{
    switch (quality) {
    case OCRQuality::fast:
        return 1280;
    case OCRQuality::balanced:
        return 2200;
    case OCRQuality::precise:
        return std::nullopt;
    }
    return std::nullopt;
}

std::string_view rawValue(OCRQuality value)
{
    switch (value) {
    case OCRQuality::fast:
        return "fast";
    case OCRQuality::balanced:
        return "balanced";
    case OCRQuality::precise:
        return "precise";
    }
    return {};
}

std::string_view rawValue(RedactionKind value)
{
    switch (value) {
    case RedactionKind::all:
        return "all";
    case RedactionKind::han:
        return "han";
    case RedactionKind::email:
        return "email";
    case RedactionKind::phone:
        return "phone";
    case RedactionKind::custom:
        return "custom";
    }
    return {};
}

std::string_view rawValue(MaskStyle value)
{
    switch (value) {
    case MaskStyle::blur:
        return "blur";
    case MaskStyle::pixelate:
        return "pixelate";
    case MaskStyle::solid:
        return "solid";
    case MaskStyle::skeleton:
        return "skeleton";
    }
    return {};
}

namespace {
// Finds the case whose raw string is exactly `raw` among `cases`.
template <class Enum, std::size_t N>
std::optional<Enum> fromRaw(std::string_view raw, const Enum (&cases)[N])
{
    for (Enum value : cases) {
        if (rawValue(value) == raw)
            return value;
    }
    return std::nullopt;
}
} // namespace

std::optional<OCRQuality> ocrQualityFromRaw(std::string_view raw)
{
    static constexpr OCRQuality cases[] = {OCRQuality::fast, OCRQuality::balanced, OCRQuality::precise};
    return fromRaw(raw, cases);
}

std::optional<RedactionKind> redactionKindFromRaw(std::string_view raw)
{
    static constexpr RedactionKind cases[] = {RedactionKind::all, RedactionKind::han, RedactionKind::email,
                                              RedactionKind::phone, RedactionKind::custom};
    return fromRaw(raw, cases);
}

std::optional<MaskStyle> maskStyleFromRaw(std::string_view raw)
{
    static constexpr MaskStyle cases[] = {MaskStyle::blur, MaskStyle::pixelate, MaskStyle::solid,
                                          MaskStyle::skeleton};
    return fromRaw(raw, cases);
}

RenderSettings startingRenderSettings()
{
    return {
        .style = MaskStyle::blur,
        .blurRadius = 24,
        .pixelSize = 12,
        .cornerRadius = 0,
        .opacity = 1,
        .feather = 0,
        .padding = {0, 0, 0, 0},
        .solidColor = 0x101318,
        .skeletonAnimation = true,
        .excludedTrackIDs = {},
        .manualMasks = {},
    };
}

namespace {

constexpr double maximumDistancePixels = 1'000'000;
// A drawn rectangle may overshoot the frame edge by rounding in the page.
constexpr double frameEdgeLimit = 1.0000001;

// Written so that NaN fails: every comparison with NaN is false.
bool within(double value, double lower, double upper) { return value >= lower && value <= upper; }

bool isValid(const ManualMask& mask, double videoDurationSeconds)
{
    const NormalizedRect& r = mask.rect;
    return !mask.id.empty() && std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) &&
           std::isfinite(r.height) && std::isfinite(mask.startTime) && std::isfinite(mask.endTime) && r.x >= 0 &&
           r.y >= 0 && r.width > 0 && r.height > 0 && r.x + r.width <= frameEdgeLimit &&
           r.y + r.height <= frameEdgeLimit && mask.startTime >= 0 && mask.startTime < mask.endTime &&
           mask.endTime <= videoDurationSeconds;
}

} // namespace

void validateRenderSettings(const RenderSettings& settings, double videoDurationSeconds)
{
    std::unordered_set<std::string> ids;
    for (const ManualMask& mask : settings.manualMasks) {
        if (!ids.insert(mask.id).second)
            throw ScrivelError::invalidMaskSettings();
    }
    for (const ManualMask& mask : settings.manualMasks) {
        if (!isValid(mask, videoDurationSeconds))
            throw ScrivelError::invalidMaskSettings();
    }
    for (double distance : {settings.blurRadius, settings.pixelSize, settings.cornerRadius, settings.feather}) {
        if (!within(distance, 0, maximumDistancePixels))
            throw ScrivelError::invalidMaskSettings();
    }
    const MaskPadding& p = settings.padding;
    for (double margin : {p.top, p.right, p.bottom, p.left}) {
        if (!within(margin, -maximumDistancePixels, maximumDistancePixels))
            throw ScrivelError::invalidMaskSettings();
    }
    if (!within(settings.opacity, 0, 1))
        throw ScrivelError::invalidMaskSettings();
    if (settings.solidColor > 0xFFFFFF)
        throw ScrivelError::invalidMaskSettings();
}

} // namespace scrivel

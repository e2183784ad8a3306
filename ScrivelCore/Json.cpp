#include "ScrivelCore/Json.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace scrivel {

// ---------------------------------------------------------------- encoding

namespace json {

Json fromFloat(float value)
{
    if (!std::isfinite(value))
        return Json(static_cast<double>(value));
    // The shortest text that reads back as this float, read as a double, so
    // that 0.9f travels as 0.9 instead of 0.89999997615814208984375.
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    double widened = static_cast<double>(value);
    std::from_chars(buffer, written.ptr, widened);
    return Json(widened);
}

} // namespace json

namespace {
template <class T>
Json arrayOf(const std::vector<T>& values)
{
    Json array = Json::array();
    for (const T& value : values)
        array.push_back(toJson(value));
    return array;
}
} // namespace

Json toJson(const NormalizedRect& value)
{
    return {{"x", value.x}, {"y", value.y}, {"width", value.width}, {"height", value.height}};
}

Json toJson(const TextSelection& value)
{
    return {{"rect", toJson(value.rect)}, {"kind", rawValue(value.kind)}, {"text", value.text}};
}

Json toJson(const DetectedRegion& value)
{
    return {
        {"rect", toJson(value.rect)},
        {"confidence", json::fromFloat(value.confidence)},
        {"text", value.text},
        {"selections", arrayOf(value.selections)},
        {"trackID", value.trackID},
        {"backgroundColor", value.backgroundColor},
    };
}

Json toJson(const DetectionSample& value)
{
    return {{"time", value.time}, {"sceneID", value.sceneID}, {"regions", arrayOf(value.regions)}};
}

Json toJson(const ScanResult& value)
{
    return {
        {"duration", value.duration},
        {"frameRate", value.frameRate},
        {"sampleCount", value.sampleCount},
        {"totalRegions", value.totalRegions},
        {"samples", arrayOf(value.samples)},
    };
}

Json toJson(const DetectionTrack& value)
{
    return {
        {"id", value.id},
        {"text", value.text},
        {"selectedText", value.selectedText},
        {"frameCount", value.frameCount},
        {"confidence", json::fromFloat(value.confidence)},
        {"startTime", value.startTime},
        {"endTime", value.endTime},
    };
}

Json toJson(const ScanSettings& value)
{
    return {
        {"allText", value.allText},
        {"quality", rawValue(value.quality)},
        {"confidence", json::fromFloat(value.confidence)},
        {"blurHan", value.blurHan},
        {"blurEmails", value.blurEmails},
        {"blurPhones", value.blurPhones},
        {"customTerms", value.customTerms},
    };
}

Json toJson(const MaskPadding& value)
{
    return {{"top", value.top}, {"right", value.right}, {"bottom", value.bottom}, {"left", value.left}};
}

Json toJson(const ManualMask& value)
{
    return {
        {"id", value.id},
        {"rect", toJson(value.rect)},
        {"startTime", value.startTime},
        {"endTime", value.endTime},
        {"enabled", value.enabled},
    };
}

Json toJson(const RenderSettings& value)
{
    return {
        {"style", rawValue(value.style)},
        {"blurRadius", value.blurRadius},
        {"pixelSize", value.pixelSize},
        {"cornerRadius", value.cornerRadius},
        {"opacity", value.opacity},
        {"feather", value.feather},
        {"padding", toJson(value.padding)},
        {"solidColor", value.solidColor},
        {"skeletonAnimation", value.skeletonAnimation},
        {"excludedTrackIDs", value.excludedTrackIDs},
        {"manualMasks", arrayOf(value.manualMasks)},
    };
}

Json toJson(const MotionTransform& value)
{
    return {{"scale", value.scale()}, {"tx", value.tx()}, {"ty", value.ty()}};
}

// ---------------------------------------------------------------- decoding

namespace {

// Every failure names where it happened, as a key path from the decoded
// root ("samples[3].regions[0].backgroundColor"); the root itself has none.
[[noreturn]] void fail(const std::string& where, std::string_view reason)
{
    if (where.empty())
        throw JsonDecodeError(std::string(reason));
    throw JsonDecodeError(where + ": " + std::string(reason));
}

std::string keyPath(const std::string& where, const char* key)
{
    return where.empty() ? std::string(key) : where + "." + key;
}

std::string indexPath(const std::string& where, std::size_t index)
{
    return where + "[" + std::to_string(index) + "]";
}

const Json& expectObject(const Json& value, const std::string& where)
{
    if (!value.is_object())
        fail(where, "expected an object");
    return value;
}

const Json& expectArray(const Json& value, const std::string& where)
{
    if (!value.is_array())
        fail(where, "expected an array");
    return value;
}

bool asBoolean(const Json& value, const std::string& where)
{
    if (!value.is_boolean())
        fail(where, "expected a boolean");
    return value.get<bool>();
}

// Any JSON number; a boolean or null is not one. JSON text cannot hold a
// non-finite number, so one that overflowed while parsing is out of range.
double asNumber(const Json& value, const std::string& where)
{
    if (!value.is_number())
        fail(where, "expected a number");
    const double number = value.get<double>();
    if (!std::isfinite(number))
        fail(where, "number out of range");
    return number;
}

float asNumber32(const Json& value, const std::string& where)
{
    const double number = asNumber(value, where);
    if (std::fabs(number) > static_cast<double>(std::numeric_limits<float>::max()))
        fail(where, "number does not fit a 32-bit float");
    return static_cast<float>(number);
}

// Integer fields take JSON integers only: 3.0 or 1e3 are floats and fail.
std::int64_t asInt64(const Json& value, const std::string& where)
{
    if (!value.is_number_integer())
        fail(where, "expected an integer");
    if (value.is_number_unsigned()) {
        const std::uint64_t number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            fail(where, "integer out of range");
        return static_cast<std::int64_t>(number);
    }
    return value.get<std::int64_t>();
}

std::uint32_t asUInt32(const Json& value, const std::string& where)
{
    if (!value.is_number_integer())
        fail(where, "expected an integer");
    constexpr std::uint64_t maximum = std::numeric_limits<std::uint32_t>::max();
    if (value.is_number_unsigned()) {
        const std::uint64_t number = value.get<std::uint64_t>();
        if (number > maximum)
            fail(where, "integer out of range");
        return static_cast<std::uint32_t>(number);
    }
    const std::int64_t number = value.get<std::int64_t>();
    if (number < 0 || static_cast<std::uint64_t>(number) > maximum)
        fail(where, "integer out of range");
    return static_cast<std::uint32_t>(number);
}

std::string asString(const Json& value, const std::string& where)
{
    if (!value.is_string())
        fail(where, "expected a string");
    return value.get<std::string>();
}

template <class Enum>
Enum asEnum(const Json& value, const std::string& where, std::optional<Enum> (*fromRaw)(std::string_view))
{
    const std::string raw = asString(value, where);
    const std::optional<Enum> decoded = fromRaw(raw);
    if (!decoded)
        fail(where, "unknown value \"" + raw + "\"");
    return *decoded;
}

// One JSON object being decoded, with the path that leads to it.
class Fields {
public:
    Fields(const Json& object, std::string where) : object_(expectObject(object, where)), where_(std::move(where)) {}

    // The value under `key` and its path; missing keys fail.
    std::pair<const Json&, std::string> at(const char* key) const
    {
        std::string path = keyPath(where_, key);
        const auto found = object_.find(key);
        if (found == object_.end())
            fail(path, "missing key");
        return {*found, std::move(path)};
    }

    bool boolean(const char* key) const { return read(key, asBoolean); }
    double number(const char* key) const { return read(key, asNumber); }
    float number32(const char* key) const { return read(key, asNumber32); }
    std::int64_t int64(const char* key) const { return read(key, asInt64); }
    std::uint32_t uint32(const char* key) const { return read(key, asUInt32); }
    std::string string(const char* key) const { return read(key, asString); }

    template <class T>
    T field(const char* key, T (*decodeAt)(const Json&, const std::string&)) const
    {
        return read(key, decodeAt);
    }

    template <class Enum>
    Enum enumeration(const char* key, std::optional<Enum> (*fromRaw)(std::string_view)) const
    {
        const auto [value, path] = at(key);
        return asEnum(value, path, fromRaw);
    }

    template <class T>
    std::vector<T> list(const char* key, T (*decodeAt)(const Json&, const std::string&)) const
    {
        const auto [value, path] = at(key);
        const Json& array = expectArray(value, path);
        std::vector<T> result;
        result.reserve(array.size());
        for (std::size_t i = 0; i < array.size(); ++i)
            result.push_back(decodeAt(array[i], indexPath(path, i)));
        return result;
    }

private:
    template <class T>
    T read(const char* key, T (*reader)(const Json&, const std::string&)) const
    {
        const auto [value, path] = at(key);
        return reader(value, path);
    }

    const Json& object_;
    std::string where_;
};

NormalizedRect rectAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {f.number("x"), f.number("y"), f.number("width"), f.number("height")};
}

TextSelection selectionAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {
        .rect = f.field("rect", rectAt),
        .kind = f.enumeration("kind", redactionKindFromRaw),
        .text = f.string("text"),
    };
}

DetectedRegion regionAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {
        .rect = f.field("rect", rectAt),
        .confidence = f.number32("confidence"),
        .text = f.string("text"),
        .selections = f.list("selections", selectionAt),
        .trackID = f.int64("trackID"),
        .backgroundColor = f.uint32("backgroundColor"),
    };
}

DetectionSample sampleAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {.time = f.number("time"), .sceneID = f.int64("sceneID"), .regions = f.list("regions", regionAt)};
}

ScanResult scanResultAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {
        .duration = f.number("duration"),
        .frameRate = f.number("frameRate"),
        .sampleCount = f.int64("sampleCount"),
        .totalRegions = f.int64("totalRegions"),
        .samples = f.list("samples", sampleAt),
    };
}

ScanSettings scanSettingsAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {
        .allText = f.boolean("allText"),
        .quality = f.enumeration("quality", ocrQualityFromRaw),
        .confidence = f.number32("confidence"),
        .blurHan = f.boolean("blurHan"),
        .blurEmails = f.boolean("blurEmails"),
        .blurPhones = f.boolean("blurPhones"),
        .customTerms = f.list("customTerms", asString),
    };
}

MaskPadding paddingAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {f.number("top"), f.number("right"), f.number("bottom"), f.number("left")};
}

ManualMask manualMaskAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {
        .id = f.string("id"),
        .rect = f.field("rect", rectAt),
        .startTime = f.number("startTime"),
        .endTime = f.number("endTime"),
        .enabled = f.boolean("enabled"),
    };
}

RenderSettings renderSettingsAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    return {
        .style = f.enumeration("style", maskStyleFromRaw),
        .blurRadius = f.number("blurRadius"),
        .pixelSize = f.number("pixelSize"),
        .cornerRadius = f.number("cornerRadius"),
        .opacity = f.number("opacity"),
        .feather = f.number("feather"),
        .padding = f.field("padding", paddingAt),
        .solidColor = f.uint32("solidColor"),
        .skeletonAnimation = f.boolean("skeletonAnimation"),
        .excludedTrackIDs = f.list("excludedTrackIDs", asInt64),
        .manualMasks = f.list("manualMasks", manualMaskAt),
    };
}

// Motions are decoded as sent; whoever uses one checks it.
MotionTransform motionAt(const Json& json, const std::string& where)
{
    const Fields f(json, where);
    const double scale = f.number("scale");
    const double tx = f.number("tx");
    const double ty = f.number("ty");
    return MotionTransform::unchecked(scale, tx, ty);
}

} // namespace

template <>
NormalizedRect decode<NormalizedRect>(const Json& json)
{
    return rectAt(json, {});
}
template <>
TextSelection decode<TextSelection>(const Json& json)
{
    return selectionAt(json, {});
}
template <>
DetectedRegion decode<DetectedRegion>(const Json& json)
{
    return regionAt(json, {});
}
template <>
DetectionSample decode<DetectionSample>(const Json& json)
{
    return sampleAt(json, {});
}
template <>
ScanResult decode<ScanResult>(const Json& json)
{
    return scanResultAt(json, {});
}
template <>
ScanSettings decode<ScanSettings>(const Json& json)
{
    return scanSettingsAt(json, {});
}
template <>
MaskPadding decode<MaskPadding>(const Json& json)
{
    return paddingAt(json, {});
}
template <>
ManualMask decode<ManualMask>(const Json& json)
{
    return manualMaskAt(json, {});
}
template <>
RenderSettings decode<RenderSettings>(const Json& json)
{
    return renderSettingsAt(json, {});
}
template <>
MotionTransform decode<MotionTransform>(const Json& json)
{
    return motionAt(json, {});
}

// ---------------------------------------------------------------- helpers

namespace json {

const Json& require(const Json& object, const char* key) { return Fields(object, {}).at(key).first; }
bool boolean(const Json& object, const char* key) { return Fields(object, {}).boolean(key); }
double number(const Json& object, const char* key) { return Fields(object, {}).number(key); }
float number32(const Json& object, const char* key) { return Fields(object, {}).number32(key); }
std::int64_t int64(const Json& object, const char* key) { return Fields(object, {}).int64(key); }
std::uint32_t uint32(const Json& object, const char* key) { return Fields(object, {}).uint32(key); }
std::string string(const Json& object, const char* key) { return Fields(object, {}).string(key); }

JsonDecodeError within(const char* key, const JsonDecodeError& error)
{
    const std::string_view reason = error.what();
    const bool atRoot = reason.rfind("expected", 0) == 0;
    return JsonDecodeError(std::string(key) + (atRoot ? ": " : ".") + std::string(reason));
}

} // namespace json

} // namespace scrivel

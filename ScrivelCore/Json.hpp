#pragma once

// JSON forms of the records. Encoding uses the field names as keys. Decoding
// is strict: every key is required, types are checked (integers must be
// integers in range), enumerations accept only their raw strings, extra keys
// are ignored. A failure throws JsonDecodeError naming the offending key path.
// Integer fields accept only JSON integers (3.0 is a float and fails).
// JSON has no NaN or infinity: such a value encodes as null when dumped, and
// decoding null (or a number that overflows a double) as a number fails.

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {

class JsonDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Json = nlohmann::json;

Json toJson(const NormalizedRect& value);
Json toJson(const TextSelection& value);
Json toJson(const DetectedRegion& value);
Json toJson(const DetectionSample& value);
Json toJson(const ScanResult& value);
Json toJson(const DetectionTrack& value);
Json toJson(const ScanSettings& value);
Json toJson(const MaskPadding& value);
Json toJson(const ManualMask& value);
Json toJson(const RenderSettings& value);
Json toJson(const MotionTransform& value);

// decode<T>(json) for each record above except DetectionTrack (encode only).
template <class T>
T decode(const Json& json);
template <> NormalizedRect decode<NormalizedRect>(const Json& json);
template <> TextSelection decode<TextSelection>(const Json& json);
template <> DetectedRegion decode<DetectedRegion>(const Json& json);
template <> DetectionSample decode<DetectionSample>(const Json& json);
template <> ScanResult decode<ScanResult>(const Json& json);
template <> ScanSettings decode<ScanSettings>(const Json& json);
template <> MaskPadding decode<MaskPadding>(const Json& json);
template <> ManualMask decode<ManualMask>(const Json& json);
template <> RenderSettings decode<RenderSettings>(const Json& json);
template <> MotionTransform decode<MotionTransform>(const Json& json);

// Parses text then decodes; malformed JSON throws JsonDecodeError as well.
template <class T>
T decodeText(const std::string& text)
{
    Json json;
    try {
        json = Json::parse(text);
    } catch (const nlohmann::json::exception& error) { // syntax errors and overflowing numbers alike
        throw JsonDecodeError(std::string("malformed JSON: ") + error.what());
    }
    return decode<T>(json);
}

// Building blocks for other modules' strict decoders (media, bridge).
namespace json {
const Json& require(const Json& object, const char* key);
bool boolean(const Json& object, const char* key);
double number(const Json& object, const char* key);
float number32(const Json& object, const char* key);
std::int64_t int64(const Json& object, const char* key);
std::uint32_t uint32(const Json& object, const char* key);
std::string string(const Json& object, const char* key);
// A float encoded in its shortest decimal form (0.9f -> 0.9, not 0.8999999761).
Json fromFloat(float value);

// A nested record's decode failure with the key it sits under in front, so
// the message names the whole path ("settings.blurRadius: ..."). A nested
// decoder's own paths start at the record, which fails as a whole only with
// "expected an object".
JsonDecodeError within(const char* key, const JsonDecodeError& error);

// The record under `key` of `object`, read with decode<T>; failures name
// their whole path.
template <class T>
T record(const Json& object, const char* key)
{
    const Json& value = require(object, key);
    try {
        return decode<T>(value);
    } catch (const JsonDecodeError& error) {
        throw within(key, error);
    }
}
} // namespace json

} // namespace scrivel

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelCore/Json.hpp"

namespace scrivel {
namespace {

constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

// ---------------------------------------------------------------- sample records

TextSelection selection(RedactionKind kind, std::string text, NormalizedRect rect)
{
    TextSelection s;
    s.rect = rect;
    s.kind = kind;
    s.text = std::move(text);
    return s;
}

DetectedRegion sampleRegion()
{
    DetectedRegion r;
    r.rect = {0.125, 0.3, 0.5, 1.0 / 3};
    r.confidence = 0.9f;
    r.text = "\xE8\x81\x94\xE7\xB3\xBB a@b.co \"quoted\"";
    r.selections = {selection(RedactionKind::han, "\xE8\x81\x94\xE7\xB3\xBB", {0, 0, 0.2, 1}),
                    selection(RedactionKind::email, "a@b.co", {0.25, 0, 0.3, 1})};
    r.trackID = -42;
    r.backgroundColor = 0xFFFFFFFF;
    return r;
}

ScanResult sampleResult()
{
    DetectedRegion plain = sampleRegion();
    plain.selections.clear();
    plain.trackID = int64Max;
    plain.backgroundColor = 0;
    plain.confidence = 1.0f / 3;

    ScanResult result;
    result.duration = 12.345;
    result.frameRate = 29.97;
    result.sampleCount = 4;
    result.totalRegions = 5;
    result.samples = {
        {0, 0, {sampleRegion()}},
        {1.0 / 30, 1, {}},
        {2.0 / 30, int64Min, {plain, sampleRegion()}},
        {0.1, 3, {sampleRegion(), plain}},
    };
    return result;
}

ScanSettings sampleScanSettings()
{
    ScanSettings s;
    s.allText = false;
    s.quality = OCRQuality::precise;
    s.confidence = 0.3f;
    s.blurHan = true;
    s.blurEmails = false;
    s.blurPhones = true;
    s.customTerms = {"Zo\xC3\xAB", "ACME", ""};
    return s;
}

ManualMask sampleMask(std::string id)
{
    ManualMask m;
    m.id = std::move(id);
    m.rect = {0.1, 0.2, 0.3, 0.4};
    m.startTime = 0.5;
    m.endTime = 7.25;
    m.enabled = false;
    return m;
}

RenderSettings sampleRenderSettings()
{
    RenderSettings s = startingRenderSettings();
    s.style = MaskStyle::skeleton;
    s.blurRadius = 30.5;
    s.padding = {-20, 1.5, 0, 1e6};
    s.solidColor = 0xFF000000; // decodes; only validation rejects it
    s.skeletonAnimation = false;
    s.excludedTrackIDs = {int64Min, 0, 3, int64Max};
    s.manualMasks = {sampleMask("m-1"), sampleMask("m-2")};
    return s;
}

template <class T>
T throughText(const T& value)
{
    return decodeText<T>(toJson(value).dump());
}

// ---------------------------------------------------------------- round trips

TEST(JsonRoundTripTest, EveryRecordSurvivesTextForm)
{
    EXPECT_EQ(throughText(NormalizedRect{0.1, -0.2, 1e-12, 123456.789}), (NormalizedRect{0.1, -0.2, 1e-12, 123456.789}));
    for (RedactionKind kind : {RedactionKind::all, RedactionKind::han, RedactionKind::email, RedactionKind::phone,
                               RedactionKind::custom}) {
        const TextSelection s = selection(kind, "x", {0.5, 0.25, 0.125, 1});
        EXPECT_EQ(throughText(s), s);
    }
    EXPECT_EQ(throughText(sampleRegion()), sampleRegion());
    EXPECT_EQ(throughText(sampleResult().samples[2]), sampleResult().samples[2]);
    EXPECT_EQ(throughText(sampleResult()), sampleResult());
    for (OCRQuality quality : {OCRQuality::fast, OCRQuality::balanced, OCRQuality::precise}) {
        ScanSettings s = sampleScanSettings();
        s.quality = quality;
        EXPECT_EQ(throughText(s), s);
    }
    EXPECT_EQ(throughText(MaskPadding{-1, 2, -3.5, 4e5}), (MaskPadding{-1, 2, -3.5, 4e5}));
    EXPECT_EQ(throughText(sampleMask("id")), sampleMask("id"));
    for (MaskStyle style : {MaskStyle::blur, MaskStyle::pixelate, MaskStyle::solid, MaskStyle::skeleton}) {
        RenderSettings s = sampleRenderSettings();
        s.style = style;
        EXPECT_EQ(throughText(s), s);
    }
    EXPECT_EQ(throughText(startingRenderSettings()), startingRenderSettings());
    const MotionTransform motion = MotionTransform::unchecked(0.5, -0.25, 1e-9);
    EXPECT_EQ(throughText(motion), motion);
}

TEST(JsonEncodingTest, KeysAreExactlyTheFieldNames)
{
    DetectionTrack track;
    track.id = 3;
    track.text = "line";
    const struct {
        const char* record;
        Json json;
        std::vector<std::string> keys; // ascending
    } cases[] = {
        {"NormalizedRect", toJson(NormalizedRect{}), {"height", "width", "x", "y"}},
        {"TextSelection", toJson(TextSelection{}), {"kind", "rect", "text"}},
        {"DetectedRegion",
         toJson(sampleRegion()),
         {"backgroundColor", "confidence", "rect", "selections", "text", "trackID"}},
        {"DetectionSample", toJson(sampleResult().samples[0]), {"regions", "sceneID", "time"}},
        {"ScanResult", toJson(sampleResult()), {"duration", "frameRate", "sampleCount", "samples", "totalRegions"}},
        {"DetectionTrack",
         toJson(track),
         {"confidence", "endTime", "frameCount", "id", "selectedText", "startTime", "text"}},
        {"ScanSettings",
         toJson(sampleScanSettings()),
         {"allText", "blurEmails", "blurHan", "blurPhones", "confidence", "customTerms", "quality"}},
        {"MaskPadding", toJson(MaskPadding{}), {"bottom", "left", "right", "top"}},
        {"ManualMask", toJson(sampleMask("x")), {"enabled", "endTime", "id", "rect", "startTime"}},
        {"RenderSettings",
         toJson(sampleRenderSettings()),
         {"blurRadius", "cornerRadius", "excludedTrackIDs", "feather", "manualMasks", "opacity", "padding",
          "pixelSize", "skeletonAnimation", "solidColor", "style"}},
        {"MotionTransform", toJson(MotionTransform::unchecked(1, 0, 0)), {"scale", "tx", "ty"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        std::vector<std::string> keys;
        for (const auto& item : c.json.items())
            keys.push_back(item.key());
        EXPECT_EQ(keys, c.keys);
    }
}

TEST(JsonEncodingTest, ValueForms)
{
    const Json region = toJson(sampleRegion());
    EXPECT_EQ(region["selections"][0]["kind"], "han");
    EXPECT_TRUE(region["trackID"].is_number_integer());
    EXPECT_EQ(region["backgroundColor"].dump(), "4294967295");
    // Floats travel in their shortest form, not widened to a long double.
    EXPECT_EQ(region["confidence"].dump(), "0.9");
    EXPECT_EQ(toJson(sampleScanSettings())["confidence"].dump(), "0.3");
    EXPECT_EQ(json::fromFloat(1.0f / 3).dump(), "0.33333334");
    EXPECT_EQ(json::fromFloat(1.0f).dump(), "1.0");

    const Json settings = toJson(sampleRenderSettings());
    EXPECT_EQ(settings["style"], "skeleton");
    EXPECT_EQ(settings["solidColor"].dump(), "4278190080");
    EXPECT_EQ(toJson(sampleScanSettings())["quality"], "precise");
}

TEST(JsonEncodingTest, NonFiniteNumbersBecomeNullAndDoNotDecode)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string text = toJson(NormalizedRect{nan, 0, 0, 0}).dump();
    EXPECT_NE(text.find("\"x\":null"), std::string::npos) << text;
    try {
        decodeText<NormalizedRect>(text);
        FAIL() << "decoded null as a number";
    } catch (const JsonDecodeError& error) {
        EXPECT_STREQ(error.what(), "x: expected a number");
    }
}

// ---------------------------------------------------------------- strict decoding

// The message of the decode failure, or nullopt when it decoded.
template <class T>
std::optional<std::string> decodeFailure(const Json& json)
{
    try {
        decode<T>(json);
        return std::nullopt;
    } catch (const JsonDecodeError& error) {
        return std::string(error.what());
    }
}

using Decoder = std::function<std::optional<std::string>(const Json&)>;

TEST(JsonStrictDecodingTest, EveryKeyIsRequired)
{
    const struct {
        const char* record;
        Decoder decoder;
        Json valid;
    } records[] = {
        {"NormalizedRect", decodeFailure<NormalizedRect>, toJson(NormalizedRect{})},
        {"TextSelection", decodeFailure<TextSelection>, toJson(TextSelection{})},
        {"DetectedRegion", decodeFailure<DetectedRegion>, toJson(sampleRegion())},
        {"DetectionSample", decodeFailure<DetectionSample>, toJson(sampleResult().samples[0])},
        {"ScanResult", decodeFailure<ScanResult>, toJson(sampleResult())},
        {"ScanSettings", decodeFailure<ScanSettings>, toJson(sampleScanSettings())},
        {"MaskPadding", decodeFailure<MaskPadding>, toJson(MaskPadding{})},
        {"ManualMask", decodeFailure<ManualMask>, toJson(sampleMask("x"))},
        {"RenderSettings", decodeFailure<RenderSettings>, toJson(sampleRenderSettings())},
        {"MotionTransform", decodeFailure<MotionTransform>, toJson(MotionTransform::unchecked(1, 0, 0))},
    };
    for (const auto& r : records) {
        SCOPED_TRACE(r.record);
        ASSERT_EQ(r.decoder(r.valid), std::nullopt);
        for (const auto& item : r.valid.items()) {
            Json missing = r.valid;
            missing.erase(item.key());
            EXPECT_EQ(r.decoder(missing), item.key() + ": missing key");
        }
    }
}

TEST(JsonStrictDecodingTest, NestedFailuresNameTheKeyPath)
{
    Json result = toJson(sampleResult());
    result["samples"][3]["regions"][0].erase("backgroundColor");
    EXPECT_EQ(decodeFailure<ScanResult>(result), "samples[3].regions[0].backgroundColor: missing key");

    Json region = toJson(sampleRegion());
    region.erase("backgroundColor");
    EXPECT_EQ(decodeFailure<DetectedRegion>(region), "backgroundColor: missing key");

    Json settings = toJson(sampleRenderSettings());
    settings["manualMasks"][1]["rect"].erase("width");
    EXPECT_EQ(decodeFailure<RenderSettings>(settings), "manualMasks[1].rect.width: missing key");
}

struct TypeCase {
    const char* pointer; // where the value is replaced
    const char* value;   // JSON text of the replacement
    std::optional<std::string> failure;
};

// Replaces one value of `valid` per case and checks the outcome.
void runTypeCases(const Decoder& decoder, const Json& valid, const std::vector<TypeCase>& cases)
{
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(std::string(c.pointer) + " = " + c.value);
        Json changed = valid;
        changed[Json::json_pointer(c.pointer)] = Json::parse(c.value);
        EXPECT_EQ(decoder(changed), c.failure);
    }
}

TEST(JsonStrictDecodingTest, RegionValueTypes)
{
    runTypeCases(decodeFailure<DetectedRegion>, toJson(sampleRegion()),
                 {
                     {"/rect/x", "true", "rect.x: expected a number"},
                     {"/rect/x", "0", std::nullopt},
                     {"/rect", "[0, 0, 1, 1]", "rect: expected an object"},
                     {"/confidence", "\"0.9\"", "confidence: expected a number"},
                     {"/confidence", "null", "confidence: expected a number"},
                     {"/confidence", "false", "confidence: expected a number"},
                     {"/confidence", "1", std::nullopt},
                     {"/confidence", "1e39", "confidence: number does not fit a 32-bit float"},
                     {"/text", "5", "text: expected a string"},
                     {"/text", "null", "text: expected a string"},
                     {"/selections", "{}", "selections: expected an array"},
                     {"/selections", "[]", std::nullopt},
                     {"/selections/0", "\"x\"", "selections[0]: expected an object"},
                     {"/selections/1/kind", "\"Han\"", "selections[1].kind: unknown value \"Han\""},
                     {"/selections/1/kind", "\"\"", "selections[1].kind: unknown value \"\""},
                     {"/selections/1/kind", "1", "selections[1].kind: expected a string"},
                     {"/selections/1/kind", "\"phone\"", std::nullopt},
                     {"/trackID", "1.5", "trackID: expected an integer"},
                     {"/trackID", "3.0", "trackID: expected an integer"},
                     {"/trackID", "1e3", "trackID: expected an integer"},
                     {"/trackID", "true", "trackID: expected an integer"},
                     {"/trackID", "\"3\"", "trackID: expected an integer"},
                     {"/trackID", "9223372036854775807", std::nullopt},
                     {"/trackID", "-9223372036854775808", std::nullopt},
                     {"/trackID", "9223372036854775808", "trackID: integer out of range"},
                     {"/trackID", "-9223372036854775809", "trackID: expected an integer"},
                     {"/backgroundColor", "-1", "backgroundColor: integer out of range"},
                     {"/backgroundColor", "0.5", "backgroundColor: expected an integer"},
                     {"/backgroundColor", "4294967296", "backgroundColor: integer out of range"},
                     {"/backgroundColor", "4294967295", std::nullopt},
                     {"/backgroundColor", "0", std::nullopt},
                 });
}

TEST(JsonStrictDecodingTest, RenderSettingsValueTypes)
{
    runTypeCases(decodeFailure<RenderSettings>, toJson(sampleRenderSettings()),
                 {
                     {"/solidColor", "-1", "solidColor: integer out of range"},
                     {"/solidColor", "16777215.5", "solidColor: expected an integer"},
                     {"/solidColor", "1e3", "solidColor: expected an integer"},
                     {"/solidColor", "4294967296", "solidColor: integer out of range"},
                     {"/solidColor", "4294967295", std::nullopt},
                     {"/solidColor", "\"#ffffff\"", "solidColor: expected an integer"},
                     {"/style", "\"Blur\"", "style: unknown value \"Blur\""},
                     {"/style", "\"blurred\"", "style: unknown value \"blurred\""},
                     {"/style", "0", "style: expected a string"},
                     {"/style", "\"pixelate\"", std::nullopt},
                     {"/skeletonAnimation", "1", "skeletonAnimation: expected a boolean"},
                     {"/skeletonAnimation", "\"true\"", "skeletonAnimation: expected a boolean"},
                     {"/blurRadius", "true", "blurRadius: expected a number"},
                     {"/blurRadius", "-5", std::nullopt}, // ranges are validation's business
                     {"/opacity", "1.5", std::nullopt},
                     {"/padding", "0", "padding: expected an object"},
                     {"/padding/top", "\"1\"", "padding.top: expected a number"},
                     {"/excludedTrackIDs", "{}", "excludedTrackIDs: expected an array"},
                     {"/excludedTrackIDs/2", "1.5", "excludedTrackIDs[2]: expected an integer"},
                     {"/excludedTrackIDs/0", "false", "excludedTrackIDs[0]: expected an integer"},
                     {"/manualMasks", "null", "manualMasks: expected an array"},
                     {"/manualMasks/0/enabled", "null", "manualMasks[0].enabled: expected a boolean"},
                     {"/manualMasks/1/id", "7", "manualMasks[1].id: expected a string"},
                     {"/manualMasks/1/startTime", "\"0\"", "manualMasks[1].startTime: expected a number"},
                 });
}

TEST(JsonStrictDecodingTest, ScanValueTypes)
{
    runTypeCases(decodeFailure<ScanSettings>, toJson(sampleScanSettings()),
                 {
                     {"/quality", "\"Fast\"", "quality: unknown value \"Fast\""},
                     {"/quality", "\"fast\"", std::nullopt},
                     {"/allText", "0", "allText: expected a boolean"},
                     {"/confidence", "true", "confidence: expected a number"},
                     {"/customTerms", "\"ACME\"", "customTerms: expected an array"},
                     {"/customTerms/1", "1", "customTerms[1]: expected a string"},
                     {"/customTerms", "[]", std::nullopt},
                 });
    runTypeCases(decodeFailure<ScanResult>, toJson(sampleResult()),
                 {
                     {"/sampleCount", "2.5", "sampleCount: expected an integer"},
                     {"/sampleCount", "-1", std::nullopt},
                     {"/duration", "\"12\"", "duration: expected a number"},
                     {"/samples/1/sceneID", "1.0", "samples[1].sceneID: expected an integer"},
                     {"/samples/1/time", "false", "samples[1].time: expected a number"},
                     {"/samples/2/regions", "null", "samples[2].regions: expected an array"},
                     {"/samples/0/regions/0/selections/0/rect/height", "\"x\"",
                      "samples[0].regions[0].selections[0].rect.height: expected a number"},
                 });
    runTypeCases(decodeFailure<MotionTransform>, toJson(MotionTransform::unchecked(1, 0, 0)),
                 {
                     {"/scale", "true", "scale: expected a number"},
                     {"/ty", "null", "ty: expected a number"},
                 });
}

TEST(JsonStrictDecodingTest, RootMustBeAnObject)
{
    EXPECT_EQ(decodeFailure<NormalizedRect>(Json::array()), "expected an object");
    EXPECT_EQ(decodeFailure<ScanSettings>(Json("blur")), "expected an object");
    EXPECT_EQ(decodeFailure<RenderSettings>(Json()), "expected an object");
}

TEST(JsonStrictDecodingTest, MalformedTextIsADecodeError)
{
    for (const char* text : {"{", "", "{\"x\": 1e400, \"y\": 0, \"width\": 0, \"height\": 0}", "{\"x\": NaN}"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(decodeText<NormalizedRect>(text), JsonDecodeError);
    }
}

// Adds an unknown key to every object in the tree.
void addExtraKeys(Json& json)
{
    if (json.is_object()) {
        for (auto& item : json.items())
            addExtraKeys(item.value());
        json["unexpected"] = {{"nested", true}};
    } else if (json.is_array()) {
        for (Json& element : json)
            addExtraKeys(element);
    }
}

TEST(JsonStrictDecodingTest, ExtraKeysAreIgnoredAtEveryLevel)
{
    Json result = toJson(sampleResult());
    addExtraKeys(result);
    EXPECT_EQ(decode<ScanResult>(result), sampleResult());

    Json settings = toJson(sampleRenderSettings());
    addExtraKeys(settings);
    EXPECT_EQ(decode<RenderSettings>(settings), sampleRenderSettings());

    Json scan = toJson(sampleScanSettings());
    addExtraKeys(scan);
    scan["tracks"] = Json::array(); // a key another record has is no different
    EXPECT_EQ(decode<ScanSettings>(scan), sampleScanSettings());
}

TEST(JsonStrictDecodingTest, MotionIsDecodedAsSent)
{
    // Decoding does not enforce a positive scale; whoever uses the motion does.
    const MotionTransform motion = decodeText<MotionTransform>(R"({"scale": -2, "tx": 0.5, "ty": 0})");
    EXPECT_EQ(motion.scale(), -2);
    EXPECT_EQ(motion.tx(), 0.5);
    EXPECT_EQ(motion.ty(), 0);
}

TEST(JsonHelpersTest, ReportTheKey)
{
    const Json object = Json::parse(R"({"flag": true, "n": -1, "big": 4294967296, "s": "text", "f": 0.5})");
    EXPECT_TRUE(json::boolean(object, "flag"));
    EXPECT_EQ(json::int64(object, "n"), -1);
    EXPECT_EQ(json::number(object, "n"), -1.0);
    EXPECT_EQ(json::number32(object, "f"), 0.5f);
    EXPECT_EQ(json::string(object, "s"), "text");
    EXPECT_EQ(json::require(object, "big"), Json(4294967296u));

    const auto message = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const JsonDecodeError& error) {
            return error.what();
        }
        return "<decoded>";
    };
    EXPECT_EQ(message([&] { json::require(object, "absent"); }), "absent: missing key");
    EXPECT_EQ(message([&] { json::boolean(object, "n"); }), "n: expected a boolean");
    EXPECT_EQ(message([&] { json::uint32(object, "n"); }), "n: integer out of range");
    EXPECT_EQ(message([&] { json::uint32(object, "big"); }), "big: integer out of range");
    EXPECT_EQ(message([&] { json::int64(object, "f"); }), "f: expected an integer");
    EXPECT_EQ(message([&] { json::string(object, "flag"); }), "flag: expected a string");
    EXPECT_EQ(message([&] { json::number(Json::array(), "x"); }), "expected an object");
}

} // namespace
} // namespace scrivel

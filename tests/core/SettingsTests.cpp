#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/Settings.hpp"

namespace scrivel {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(SettingsTest, MaximumImageDimensionPerQuality)
{
    EXPECT_EQ(maximumImageDimension(OCRQuality::fast), 1280.0);
    EXPECT_EQ(maximumImageDimension(OCRQuality::balanced), 2200.0);
    EXPECT_EQ(maximumImageDimension(OCRQuality::precise), std::nullopt);
}

TEST(SettingsTest, RawValuesRoundTripAndNothingElseParses)
{
    for (OCRQuality q : {OCRQuality::fast, OCRQuality::balanced, OCRQuality::precise})
        EXPECT_EQ(ocrQualityFromRaw(rawValue(q)), q);
    for (RedactionKind k : {RedactionKind::all, RedactionKind::han, RedactionKind::email, RedactionKind::phone,
                            RedactionKind::custom})
        EXPECT_EQ(redactionKindFromRaw(rawValue(k)), k);
    for (MaskStyle s : {MaskStyle::blur, MaskStyle::pixelate, MaskStyle::solid, MaskStyle::skeleton})
        EXPECT_EQ(maskStyleFromRaw(rawValue(s)), s);

    EXPECT_EQ(rawValue(OCRQuality::precise), "precise");
    EXPECT_EQ(rawValue(RedactionKind::email), "email");
    EXPECT_EQ(rawValue(MaskStyle::pixelate), "pixelate");

    for (const char* raw : {"", "Fast", "FAST", " fast", "fast ", "medium"})
        EXPECT_EQ(ocrQualityFromRaw(raw), std::nullopt) << raw;
    for (const char* raw : {"", "Han", "emails", "all "})
        EXPECT_EQ(redactionKindFromRaw(raw), std::nullopt) << raw;
    for (const char* raw : {"", "Blur", "blurred", "pixel", "solid\n"})
        EXPECT_EQ(maskStyleFromRaw(raw), std::nullopt) << raw;
}

TEST(SettingsTest, StartingRenderSettings)
{
    const RenderSettings s = startingRenderSettings();
    EXPECT_EQ(s.style, MaskStyle::blur);
    EXPECT_EQ(s.blurRadius, 24);
    EXPECT_EQ(s.pixelSize, 12);
    EXPECT_EQ(s.cornerRadius, 0);
    EXPECT_EQ(s.opacity, 1);
    EXPECT_EQ(s.feather, 0);
    EXPECT_EQ(s.padding, (MaskPadding{0, 0, 0, 0}));
    EXPECT_EQ(s.solidColor, 0x101318u);
    EXPECT_TRUE(s.skeletonAnimation);
    EXPECT_TRUE(s.excludedTrackIDs.empty());
    EXPECT_TRUE(s.manualMasks.empty());
    // Usable before any video is chosen.
    EXPECT_NO_THROW(validateRenderSettings(s, 0));
}

// ---------------------------------------------------------------- validation

constexpr double videoDuration = 10;

ManualMask mask(std::string id)
{
    ManualMask m;
    m.id = std::move(id);
    m.rect = {0.25, 0.25, 0.5, 0.5};
    m.startTime = 1;
    m.endTime = 2;
    m.enabled = true;
    return m;
}

RenderSettings validSettings()
{
    RenderSettings s = startingRenderSettings();
    s.manualMasks = {mask("a"), mask("b")};
    return s;
}

struct ValidationCase {
    const char* name;
    std::function<void(RenderSettings&)> change;
    bool valid;
    double duration = videoDuration;
};

bool passes(const RenderSettings& settings, double duration)
{
    try {
        validateRenderSettings(settings, duration);
        return true;
    } catch (const ScrivelError& error) {
        EXPECT_EQ(error.code(), ScrivelError::Code::invalidMaskSettings);
        EXPECT_STREQ(error.what(), "Invalid mask settings. Distances must be finite and within 1,000,000 pixels; "
                                   "opacity must be between 0 and 100%.");
        return false;
    }
}

void runCases(const std::vector<ValidationCase>& cases)
{
    for (const ValidationCase& c : cases) {
        SCOPED_TRACE(c.name);
        RenderSettings settings = validSettings();
        c.change(settings);
        EXPECT_EQ(passes(settings, c.duration), c.valid);
    }
}

TEST(RenderSettingsValidationTest, ManualMasks)
{
    const auto first = [](auto change) { return [change](RenderSettings& s) { change(s.manualMasks[0]); }; };
    runCases({
        {"valid as built", [](RenderSettings&) {}, true},
        {"duplicate ids", [](RenderSettings& s) { s.manualMasks[1].id = "a"; }, false},
        {"duplicate ids, both disabled",
         [](RenderSettings& s) {
             s.manualMasks[1].id = "a";
             s.manualMasks[0].enabled = s.manualMasks[1].enabled = false;
         },
         false},
        {"a disabled mask is still checked", first([](ManualMask& m) {
             m.enabled = false;
             m.rect.width = 0;
         }),
         false},
        {"empty id", first([](ManualMask& m) { m.id = ""; }), false},
        {"any mask fails with no video", [](RenderSettings&) {}, false, 0},
        {"no masks pass with no video", [](RenderSettings& s) { s.manualMasks.clear(); }, true, 0},
        {"x at the left edge", first([](ManualMask& m) { m.rect.x = 0; }), true},
        {"x negative", first([](ManualMask& m) { m.rect.x = -1e-9; }), false},
        {"y negative", first([](ManualMask& m) { m.rect.y = -1e-9; }), false},
        {"zero width", first([](ManualMask& m) { m.rect.width = 0; }), false},
        {"negative height", first([](ManualMask& m) { m.rect.height = -0.1; }), false},
        {"whole frame", first([](ManualMask& m) { m.rect = {0, 0, 1, 1}; }), true},
        {"right edge just within tolerance", first([](ManualMask& m) { m.rect = {0, 0, 1.0000001, 1}; }), true},
        {"right edge 5e-8 beyond", first([](ManualMask& m) { m.rect = {0.25, 0, 0.75 + 5e-8, 1}; }), true},
        {"right edge 2e-7 beyond", first([](ManualMask& m) { m.rect = {0.25, 0, 0.75 + 2e-7, 1}; }), false},
        {"bottom edge just within tolerance", first([](ManualMask& m) { m.rect = {0, 0, 1, 1.0000001}; }), true},
        {"bottom edge 2e-7 beyond", first([](ManualMask& m) { m.rect = {0, 0.5, 1, 0.5 + 2e-7}; }), false},
        {"NaN x", first([](ManualMask& m) { m.rect.x = nan; }), false},
        {"NaN height", first([](ManualMask& m) { m.rect.height = nan; }), false},
        {"infinite width", first([](ManualMask& m) { m.rect.width = inf; }), false},
        {"start at zero", first([](ManualMask& m) { m.startTime = 0; }), true},
        {"start negative", first([](ManualMask& m) { m.startTime = -0.001; }), false},
        {"start equals end", first([](ManualMask& m) { m.startTime = m.endTime = 2; }), false},
        {"start after end", first([](ManualMask& m) { m.startTime = 3; }), false},
        {"end at the duration", first([](ManualMask& m) { m.endTime = videoDuration; }), true},
        {"end past the duration", first([](ManualMask& m) { m.endTime = videoDuration + 1e-9; }), false},
        {"NaN start", first([](ManualMask& m) { m.startTime = nan; }), false},
        {"infinite end with infinite duration", first([](ManualMask& m) { m.endTime = inf; }), false, inf},
        {"NaN duration", [](RenderSettings&) {}, false, nan},
    });
}

TEST(RenderSettingsValidationTest, Distances)
{
    using Field = double RenderSettings::*;
    const std::pair<const char*, Field> fields[] = {
        {"blurRadius", &RenderSettings::blurRadius},
        {"pixelSize", &RenderSettings::pixelSize},
        {"cornerRadius", &RenderSettings::cornerRadius},
        {"feather", &RenderSettings::feather},
    };
    const std::pair<double, bool> values[] = {
        {0, true}, {1'000'000, true}, {-1e-9, false}, {1'000'000.5, false}, {nan, false}, {inf, false},
    };
    for (const auto& [name, field] : fields) {
        for (const auto& [value, valid] : values) {
            SCOPED_TRACE(std::string(name) + " = " + std::to_string(value));
            RenderSettings settings = validSettings();
            settings.*field = value;
            EXPECT_EQ(passes(settings, videoDuration), valid);
        }
    }
}

TEST(RenderSettingsValidationTest, Padding)
{
    using Side = double MaskPadding::*;
    const Side sides[] = {&MaskPadding::top, &MaskPadding::right, &MaskPadding::bottom, &MaskPadding::left};
    const std::pair<double, bool> values[] = {
        {-20, true},  {-1'000'000, true}, {1'000'000, true}, {-2'000'000, false},
        {1'000'001, false}, {nan, false}, {-inf, false},
    };
    for (std::size_t i = 0; i < std::size(sides); ++i) {
        for (const auto& [value, valid] : values) {
            SCOPED_TRACE("side " + std::to_string(i) + " = " + std::to_string(value));
            RenderSettings settings = validSettings();
            settings.padding.*sides[i] = value;
            EXPECT_EQ(passes(settings, videoDuration), valid);
        }
    }
    RenderSettings allNegative = validSettings();
    allNegative.padding = {-20, -20, -20, -20};
    EXPECT_TRUE(passes(allNegative, videoDuration));
}

TEST(RenderSettingsValidationTest, OpacityAndColour)
{
    runCases({
        {"opacity 0", [](RenderSettings& s) { s.opacity = 0; }, true},
        {"opacity 1", [](RenderSettings& s) { s.opacity = 1; }, true},
        {"opacity 1.5", [](RenderSettings& s) { s.opacity = 1.5; }, false},
        {"opacity below 0", [](RenderSettings& s) { s.opacity = -0.01; }, false},
        {"opacity NaN", [](RenderSettings& s) { s.opacity = nan; }, false},
        {"colour 0x00FFFFFF", [](RenderSettings& s) { s.solidColor = 0x00FFFFFF; }, true},
        {"colour 0x01000000", [](RenderSettings& s) { s.solidColor = 0x01000000; }, false},
        {"colour 0xFF000000", [](RenderSettings& s) { s.solidColor = 0xFF000000; }, false},
    });
}

} // namespace
} // namespace scrivel

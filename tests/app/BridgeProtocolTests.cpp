// The wire on its own: parameter records, reply and event payloads, the
// page call text, and the navigation policy.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelApp/BridgeProtocol.hpp"
#include "ScrivelApp/NavigationPolicy.hpp"
#include "ScrivelCore/Errors.hpp"

using namespace scrivel;

namespace {

Json scanSettingsJson()
{
    return Json::parse(R"({"allText": false, "quality": "fast", "confidence": 0.5, "blurHan": true,
                           "blurEmails": true, "blurPhones": false, "customTerms": ["Project X"]})");
}

Json renderSettingsJson()
{
    return toJson(startingRenderSettings());
}

// A copy of `object` with `key` set to `value`.
Json with(Json object, const std::string& key, Json value)
{
    object[key] = std::move(value);
    return object;
}

Json without(Json object, const std::string& key)
{
    object.erase(key);
    return object;
}

std::string decodeFailure(const std::function<void()>& decode)
{
    try {
        decode();
    } catch (const JsonDecodeError& error) {
        return error.what();
    }
    return "(decoded)";
}

} // namespace

TEST(BridgeProtocol, DecodesEveryParameterRecord)
{
    const Json scan = {{"videoId", "V1"}, {"jobId", "J1"}, {"settings", scanSettingsJson()}, {"extra", 1}};
    const ScanRequest scanRequest = decodeScanRequest(scan);
    EXPECT_EQ(scanRequest.videoId, "V1");
    EXPECT_EQ(scanRequest.jobId, "J1");
    EXPECT_EQ(scanRequest.settings.quality, OCRQuality::fast);
    EXPECT_EQ(scanRequest.settings.customTerms, std::vector<std::string>{"Project X"});

    RenderSettings render = startingRenderSettings();
    render.style = MaskStyle::pixelate;
    const ExportRequest exportRequest =
        decodeExportRequest({{"videoId", "V"}, {"jobId", "J"}, {"settings", toJson(render)}});
    EXPECT_EQ(exportRequest.settings, render);

    EXPECT_EQ(decodeCheckCopyRequest({{"videoId", "V"}, {"jobId", "J2"}, {"path", "/etc/passwd"}}),
              (CheckCopyRequest{"V", "J2"}))
        << "a path sent along is not read";
    EXPECT_EQ(decodeCancelRequest({{"jobId", "J9"}}).jobId, "J9");

    // Numbers with or without a fraction; negative sizes pass the decoder.
    const PlayerBounds bounds =
        decodePlayerBounds(Json::parse(R"({"x": 10, "y": 2.5, "width": -5, "height": 100.0, "visible": true})"));
    EXPECT_EQ(bounds, (PlayerBounds{10, 2.5, -5, 100, true}));

    const PreviewRequest preview = decodePreviewRequest(
        {{"videoId", "V"}, {"enabled", true}, {"showRegions", false}, {"renderSettings", renderSettingsJson()}});
    EXPECT_TRUE(preview.enabled);
    EXPECT_FALSE(preview.showRegions);
    EXPECT_EQ(preview.renderSettings, startingRenderSettings());

    EXPECT_EQ(decodeDrawingRequest({{"videoId", "V"}, {"enabled", false}}), (DrawingRequest{"V", false}));
    EXPECT_EQ(decodeVideoRequest({{"videoId", "V"}}).videoId, "V");
    EXPECT_EQ(decodeSeekRequest({{"videoId", "V"}, {"time", 3}}), (SeekRequest{"V", 3.0}));
    EXPECT_EQ(decodeRevealRequest({{"path", "/tmp/a b.mp4"}}).path, "/tmp/a b.mp4");
}

// Each failure names what was wrong where.
TEST(BridgeProtocol, StrictDecodingFailsOnMissingKeysAndWrongTypes)
{
    const Json scan = {{"videoId", "V"}, {"jobId", "J"}, {"settings", scanSettingsJson()}};
    const Json bounds = {{"x", 0}, {"y", 0}, {"width", 1}, {"height", 1}, {"visible", true}};
    const Json preview = {
        {"videoId", "V"}, {"enabled", true}, {"showRegions", true}, {"renderSettings", renderSettingsJson()}};
    struct Case {
        const char* name;
        std::function<void()> decode;
        std::string expected; // part of the message
    };
    const std::vector<Case> cases{
        {"scan without jobId", [&] { decodeScanRequest(without(scan, "jobId")); }, "jobId: missing key"},
        {"scan videoId number", [&] { decodeScanRequest(with(scan, "videoId", 7)); }, "videoId: expected a string"},
        {"scan settings string", [&] { decodeScanRequest(with(scan, "settings", "x")); }, "settings: expected an object"},
        {"scan settings bad quality",
         [&] { decodeScanRequest(with(scan, "settings", with(scanSettingsJson(), "quality", "slow"))); },
         "settings.quality"},
        {"scan settings missing key",
         [&] { decodeScanRequest(with(scan, "settings", without(scanSettingsJson(), "blurHan"))); },
         "settings.blurHan: missing key"},
        {"export settings null",
         [&] { decodeExportRequest({{"videoId", "V"}, {"jobId", "J"}, {"settings", nullptr}}); }, "settings"},
        {"check without videoId", [&] { decodeCheckCopyRequest({{"jobId", "J"}}); }, "videoId: missing key"},
        {"check without jobId", [&] { decodeCheckCopyRequest({{"videoId", "V"}}); }, "jobId: missing key"},
        {"check jobId null", [&] { decodeCheckCopyRequest({{"videoId", "V"}, {"jobId", nullptr}}); },
         "jobId: expected a string"},
        {"check videoId number", [&] { decodeCheckCopyRequest({{"videoId", 3}, {"jobId", "J"}}); },
         "videoId: expected a string"},
        {"check params an array", [&] { decodeCheckCopyRequest(Json::array({"V", "J"})); }, "expected an object"},
        {"cancel jobId number", [&] { decodeCancelRequest({{"jobId", 1}}); }, "jobId: expected a string"},
        {"bounds x string", [&] { decodePlayerBounds(with(bounds, "x", "NaN")); }, "x: expected a number"},
        {"bounds visible number", [&] { decodePlayerBounds(with(bounds, "visible", 1)); }, "visible"},
        {"bounds height missing", [&] { decodePlayerBounds(without(bounds, "height")); }, "height: missing key"},
        {"preview showRegions string", [&] { decodePreviewRequest(with(preview, "showRegions", "true")); },
         "showRegions"},
        {"preview render settings wrong style",
         [&] { decodePreviewRequest(with(preview, "renderSettings", with(renderSettingsJson(), "style", "Blur"))); },
         "renderSettings.style"},
        {"drawing enabled null", [&] { decodeDrawingRequest({{"videoId", "V"}, {"enabled", nullptr}}); }, "enabled"},
        {"video id array", [&] { decodeVideoRequest({{"videoId", Json::array()}}); }, "videoId"},
        {"seek time string", [&] { decodeSeekRequest({{"videoId", "V"}, {"time", "1"}}); }, "time"},
        {"seek without params", [&] { decodeSeekRequest(Json::object()); }, "videoId: missing key"},
        {"reveal path bool", [&] { decodeRevealRequest({{"path", false}}); }, "path"},
        {"params an array", [&] { decodeVideoRequest(Json::array({"V"})); }, "expected an object"},
        {"params null", [&] { decodeCancelRequest(nullptr); }, "expected an object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = decodeFailure(c.decode);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    }
}

TEST(BridgeProtocol, PayloadsHaveTheirKeysAndLeaveOutOnlyWhatIsOptional)
{
    JobProgress exportProgress{"J", "V", JobKind::exportVideo, 0.5, 50, 100, std::nullopt, "Rendering"};
    const Json exported = toJson(exportProgress);
    EXPECT_EQ(exported, Json::parse(R"({"id":"J","videoId":"V","kind":"export","progress":0.5,
                                        "processed":50,"total":100,"message":"Rendering"})"));
    exportProgress.message.reset();
    EXPECT_FALSE(toJson(exportProgress).contains("message"));

    const JobProgress scanProgress{"J", "V", JobKind::scan, 0.25, 3, 12, 0, "Recognizing text"};
    EXPECT_EQ(toJson(scanProgress).at("regions"), 0) << "zero regions is present, not absent";
    EXPECT_EQ(toJson(scanProgress).at("kind"), "scan");

    // The player's events and the "export" command are checked where the bridge emits them.
    EXPECT_EQ(commandObject(MenuCommand::open), Json::parse(R"({"name":"open"})"));
    EXPECT_EQ(commandObject(MenuCommand::scan), Json::parse(R"({"name":"scan"})"));
}

TEST(BridgeProtocol, ScanSummaryCarriesTheResultsCountsAndTracks)
{
    ScanResult result;
    result.duration = 2;
    result.frameRate = 30;
    DetectedRegion region;
    region.text = "jane@example.com";
    region.trackID = 7;
    region.confidence = 0.75F;
    result.samples = {{0.0, 0, {region}}, {1.0, 0, {region}}, {1.5, 0, {}}};
    result.sampleCount = 3;
    result.totalRegions = 2;

    const Json summary = toJson(ScanSummary::of(result));
    EXPECT_EQ(summary.at("duration"), 2.0);
    EXPECT_EQ(summary.at("sampleCount"), 3);
    EXPECT_EQ(summary.at("totalRegions"), 2);
    ASSERT_EQ(summary.at("tracks").size(), 1u);
    EXPECT_EQ(summary.at("tracks")[0].at("id"), 7);
    EXPECT_EQ(summary.at("tracks")[0].at("text"), "jane@example.com");
    EXPECT_EQ(summary.at("tracks")[0].at("frameCount"), 2);
}

TEST(BridgeProtocol, CallTextEscapesTheArgumentAndRefusesWhatJsonCannotHold)
{
    EXPECT_EQ(pageCallText("resolve", "a\"b\\c", acknowledgement()),
              R"(window.__scrivel?.resolve("a\"b\\c", {"ok":true});)");
    EXPECT_EQ(pageCallText("emit", "toast", messageObject("line\nbreak")),
              R"(window.__scrivel?.emit("toast", {"message":"line\nbreak"});)");
    EXPECT_EQ(pageCallText("resolve", "7", nullptr), R"(window.__scrivel?.resolve("7", null);)");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(pageCallText("emit", "playerState", toJson(PlayerState{"V", nan, false})), std::nullopt);
    EXPECT_EQ(pageCallText("emit", "x", Json{{"deep", {{"list", {1.0, -infinity}}}}}), std::nullopt);
    EXPECT_EQ(pageCallText("emit", "x", messageObject("\xff\xfe")), std::nullopt) << "not UTF-8";
    EXPECT_EQ(pageCallText("resolve", "\xc3", acknowledgement()), std::nullopt) << "not UTF-8";
}

TEST(BridgeProtocol, RejectionMessageIsCancellationOrTheErrorsOwnText)
{
    EXPECT_EQ(rejectionMessage(std::make_exception_ptr(OperationCancelled())), "Operation cancelled.");
    EXPECT_EQ(rejectionMessage(std::make_exception_ptr(ScrivelError::noScanResult())),
              "Scan the video before exporting.");
    EXPECT_EQ(rejectionMessage(std::make_exception_ptr(JsonDecodeError("time: expected a number"))),
              "time: expected a number");
    EXPECT_EQ(rejectionMessage(std::make_exception_ptr(42)), "The app received an invalid request.");
}

TEST(NavigationPolicy, AllowsOnlyTheShippedPageAndTheLoopbackServer)
{
    struct Case {
        std::optional<std::string> url;
        NavigationType type;
        NavigationDecision decision;
        std::optional<std::string> external;
    };
    using enum NavigationDecision;
    const auto link = NavigationType::linkClicked;
    const auto other = NavigationType::other;
    const std::vector<Case> cases{
        {std::nullopt, other, cancel, std::nullopt},
        {std::nullopt, link, cancel, std::nullopt},
        {"scrivel://app/index.html", other, allow, std::nullopt},
        {"SCRIVEL://APP/index.html", other, allow, std::nullopt},
        {"scrivel://app/index.html", link, allow, std::nullopt},
        {"scrivel://other/index.html", other, cancel, std::nullopt},
        {"http://127.0.0.1:5173/", other, allow, std::nullopt},
        {"http://127.0.0.1/", other, allow, std::nullopt},
        {"https://127.0.0.1/", other, cancel, std::nullopt},
        {"http://localhost:5173/", other, cancel, std::nullopt},
        {"http://127.0.0.1.evil.example/", other, cancel, std::nullopt},
        {"http://127.0.0.1@evil.example/", other, cancel, std::nullopt},
        {"https://example.com/help", other, cancel, std::nullopt},
        {"https://example.com/help", link, cancel, "https://example.com/help"},
        {"http://127.0.0.1:5173/other", link, cancel, "http://127.0.0.1:5173/other"},
        {"file:///etc/passwd", link, cancel, std::nullopt},
        {"file:///etc/passwd", other, cancel, std::nullopt},
        {"javascript:alert(1)", other, cancel, std::nullopt},
        {"about:blank", other, cancel, std::nullopt},
        {"no scheme at all", other, cancel, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.value_or("(no URL)"));
        const NavigationVerdict verdict = decideNavigation({c.url, c.type});
        EXPECT_EQ(verdict.decision, c.decision);
        EXPECT_EQ(verdict.openExternally, c.external);
    }
}

TEST(NavigationPolicy, OriginTakesSchemeAndBareHost)
{
    EXPECT_EQ(urlOrigin("HTTP://User:pw@Example.COM:8080/a?b#c"), (UrlOrigin{"http", "example.com"}));
    EXPECT_EQ(urlOrigin("http://[::1]:80/"), (UrlOrigin{"http", "::1"}));
    EXPECT_EQ(urlOrigin("scrivel://app"), (UrlOrigin{"scrivel", "app"}));
    EXPECT_EQ(urlOrigin("mailto:someone@example.com"), (UrlOrigin{"mailto", ""}));
    EXPECT_EQ(urlOrigin("://nothing"), std::nullopt);
    EXPECT_EQ(urlOrigin("1http://x"), std::nullopt);
}

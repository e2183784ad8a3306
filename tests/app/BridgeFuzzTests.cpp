// Thousands of random and mutated messages: nothing may crash, and every
// message with a string id and method gets exactly one reply, no other does.

#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScrivelApp/BridgeProtocol.hpp"
#include "ScrivelApp/NativeBridge.hpp"
#include "app/BridgeFakes.hpp"

using namespace scrivel;
using namespace scrivel::test;

namespace {

const std::vector<std::string> kMethods{
    "ready",       "openVideo",      "scanVideo", "exportVideo",    "checkCopy",     "cancelJob",
    "setWindowDragBounds", "setPlayerBounds", "setPreview", "setDrawing", "resetViewport",
    "togglePlayback", "seek",          "revealInFinder", "Seek", "READY", "", "constructor", "scanvideo"};

const std::vector<std::string> kKeys{"videoId", "jobId",  "settings", "renderSettings", "x",        "y",
                                     "width",   "height", "visible",  "enabled",        "showRegions", "time",
                                     "path",    "style",  "opacity",  "manualMasks",    "quality",  "id"};

class Generator {
public:
    explicit Generator(unsigned seed) : random_(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool chance(int percent) { return below(100) < percent; }

    // Valid UTF-8 with the characters that need care in JSON and scripts.
    std::string text(int maximumLength = 12)
    {
        static const std::vector<std::string> pieces{"a",  "Z",  "0",  " ",  "\"", "\\", "/",  "\n", "\t",
                                                     "'",  "<",  ">",  "é",  "漢", "\u2028", "😀", "NaN", "Infinity",
                                                     "-0", "1e999", "null", "}", "{", ")", ";"};
        std::string result;
        const int length = below(maximumLength + 1);
        for (int i = 0; i < length; ++i)
            result += pieces[below(static_cast<int>(pieces.size()))];
        return result;
    }

    double awkwardNumber()
    {
        static const std::vector<double> numbers{0.0, -0.0, 1.0, -3.0, 0.5, 1e9, -1e9, 1e308, -1e308, 5e-324,
                                                 12.5, 1e15, 4503599627370497.0, 2147483648.0, -2147483649.0};
        return numbers[below(static_cast<int>(numbers.size()))];
    }

    Json value(int depth = 0)
    {
        const int kind = depth > 4 ? below(6) : below(8);
        switch (kind) {
        case 0:
            return nullptr;
        case 1:
            return chance(50);
        case 2:
            return chance(50) ? Json(std::int64_t(below(2000) - 1000))
                              : Json(chance(50) ? std::numeric_limits<std::int64_t>::min()
                                                : std::numeric_limits<std::int64_t>::max());
        case 3:
            return std::numeric_limits<std::uint64_t>::max() - below(3);
        case 4:
            return awkwardNumber();
        case 5:
            return chance(3) ? std::string(100000, 'x') : text();
        case 6: {
            Json array = Json::array();
            for (int i = below(4); i > 0; --i)
                array.push_back(value(depth + 1));
            return array;
        }
        default: {
            Json object = Json::object();
            for (int i = below(5); i > 0; --i)
                object[chance(70) ? kKeys[below(static_cast<int>(kKeys.size()))] : text(6)] = value(depth + 1);
            return object;
        }
        }
    }

    // Good parameters for `method`, on the video `videoId`.
    Json validParams(const std::string& method, const std::string& videoId)
    {
        const std::string job = "job-" + std::to_string(below(4));
        if (method == "scanVideo")
            return {{"videoId", videoId}, {"jobId", job}, {"settings", toJson(ScanSettings{})}};
        if (method == "exportVideo")
            return {{"videoId", videoId}, {"jobId", job}, {"settings", toJson(startingRenderSettings())}};
        if (method == "checkCopy")
            return {{"videoId", videoId}, {"jobId", job}};
        if (method == "cancelJob")
            return {{"jobId", job}};
        if (method == "setWindowDragBounds" || method == "setPlayerBounds")
            return {{"x", awkwardNumber()}, {"y", 0}, {"width", awkwardNumber()}, {"height", 30}, {"visible", chance(50)}};
        if (method == "setPreview")
            return {{"videoId", videoId}, {"enabled", chance(50)}, {"showRegions", chance(50)},
                    {"renderSettings", toJson(startingRenderSettings())}};
        if (method == "setDrawing")
            return {{"videoId", videoId}, {"enabled", chance(50)}};
        if (method == "togglePlayback")
            return {{"videoId", videoId}};
        if (method == "seek")
            return {{"videoId", videoId}, {"time", awkwardNumber()}};
        if (method == "revealInFinder")
            return {{"path", "/tmp/" + text(4)}};
        if (method == "stepTrack")
            return {{"videoId", videoId}, {"trackId", below(9)}, {"time", awkwardNumber()},
                    {"direction", chance(50) ? "next" : "previous"}};
        if (method == "saveReview")
            return {{"videoId", videoId}, {"renderSettings", toJson(startingRenderSettings())}, {"saveAs", chance(50)}};
        if (method == "openReview")
            return {{"path", chance(50) ? Json("/tmp/" + text(4) + ".scrivel") : Json(nullptr)}};
        if (method == "openVideoFile")
            return {{"path", "/tmp/" + text(4) + ".mp4"}};
        if (method == "setReviewState")
            return {{"unsaved", chance(50)}};
        return Json::object();
    }

    // Changes one thing somewhere inside `params`: a value replaced by a
    // random one, a key removed, a key added.
    void mutate(Json& params)
    {
        Json* target = &params;
        while (target->is_object() && !target->empty() && chance(40)) {
            auto it = target->begin();
            std::advance(it, below(static_cast<int>(target->size())));
            target = &*it;
        }
        if (!target->is_object() || target->empty()) {
            *target = value();
            return;
        }
        auto it = target->begin();
        std::advance(it, below(static_cast<int>(target->size())));
        switch (below(3)) {
        case 0:
            *it = value();
            break;
        case 1:
            target->erase(it);
            break;
        default:
            (*target)[text(5)] = value();
            break;
        }
    }

    // Byte edits of a JSON text (which may leave it malformed or not UTF-8).
    std::string mangle(std::string body)
    {
        static const std::string alphabet = "{}[]\",:\\0123456789.eE-+ truefalsn\x80\xff";
        for (int edits = 1 + below(3); edits > 0 && !body.empty(); --edits) {
            const std::size_t at = static_cast<std::size_t>(below(static_cast<int>(body.size())));
            const char c = alphabet[below(static_cast<int>(alphabet.size()))];
            switch (below(3)) {
            case 0:
                body.insert(body.begin() + static_cast<std::ptrdiff_t>(at), c);
                break;
            case 1:
                body.erase(at, 1);
                break;
            default:
                body[at] = c;
                break;
            }
        }
        return body;
    }

    static std::string nested(int depth, const std::string& inner)
    {
        return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
    }

private:
    std::mt19937 random_;
};

// What the page posted and whether it addressed a reply.
std::optional<std::string> addressedId(const std::string& body)
{
    const Json parsed = Json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object())
        return std::nullopt;
    const auto id = parsed.find("id");
    const auto method = parsed.find("method");
    if (id == parsed.end() || !id->is_string() || method == parsed.end() || !method->is_string())
        return std::nullopt;
    return id->get<std::string>();
}

} // namespace

TEST(BridgeFuzz, EveryAddressedMessageGetsExactlyOneReply)
{
    FakeMedia media;
    media.releaseJobs();
    BridgeHarness harness(media.operations());
    const VideoInfo video = harness.select("/videos/first.mp4");
    const std::size_t firstCall = harness.page->calls.size(); // after the set-up's own replies
    Generator generate(20261206);

    std::map<std::string, int> expected; // id → messages sent with it
    std::map<std::string, std::string> bodies; // id → (the start of) its last message
    int serial = 0;
    constexpr int kMessages = 3000;
    for (int n = 0; n < kMessages; ++n) {
        const std::string method = kMethods[generate.below(static_cast<int>(kMethods.size()))];
        // Mostly unique ids, so replies can be matched one to one.
        const std::string id = "m" + std::to_string(serial++) + "-" + generate.text(6);
        const std::string videoId = generate.chance(80) ? harness.bridge->selectedVideo().value_or(video).id
                                                        : generate.text(4);
        std::string body;
        switch (generate.below(7)) {
        case 0: { // a good request
            body = Json{{"id", id}, {"method", method}, {"params", generate.validParams(method, videoId)}}.dump();
            break;
        }
        case 1:
        case 2: { // a good request with one thing changed
            Json params = generate.validParams(method, videoId);
            generate.mutate(params);
            body = Json{{"id", id}, {"method", method}, {"params", params}}.dump();
            break;
        }
        case 3: { // random values for the envelope's own keys
            Json envelope = {{"id", generate.chance(70) ? Json(id) : generate.value()},
                             {"method", generate.chance(70) ? Json(method) : generate.value()}};
            if (generate.chance(70))
                envelope["params"] = generate.value();
            body = envelope.dump();
            break;
        }
        case 4: // bytes edited
            body = generate.mangle(
                Json{{"id", id}, {"method", method}, {"params", generate.validParams(method, videoId)}}.dump());
            break;
        case 5: { // deep nesting where a value goes, or as the whole body
            const int depth = generate.chance(50) ? 100 + generate.below(100) : 20000 + generate.below(20000);
            const std::string deep = Generator::nested(depth, generate.chance(50) ? "" : "\"x\"");
            body = generate.chance(80) ? R"({"id":)" + Json(id).dump() + R"(,"method":)" + Json(method).dump() +
                                             R"(,"params":{"videoId":)" + deep + R"(,"path":)" + deep + "}}"
                                       : deep;
            break;
        }
        default: // not JSON text, or not an object
            body = generate.chance(50) ? generate.text(40) : generate.value().dump();
            break;
        }

        if (const std::optional<std::string> addressed = addressedId(body)) {
            ++expected[*addressed];
            bodies[*addressed] = body.substr(0, 300);
        }
        harness.bridge->handleMessage(body);

        // The user answers whatever panel opened, one way or the other.
        while (!harness.panels.openPending.empty())
            harness.panels.answerOpen(generate.chance(50) ? std::optional<std::filesystem::path>{}
                                                          : "/videos/v" + std::to_string(n) + ".mp4");
        while (!harness.panels.savePending.empty())
            harness.panels.answerSave(generate.chance(30) ? std::optional<std::filesystem::path>{}
                                                          : "/out/e" + std::to_string(n) + ".mp4");
        if (n % 50 == 0)
            harness.executor->runPending();
    }

    // Jobs and probes finish on their own; wait for every reply.
    const auto replies = [&] {
        std::map<std::string, int> found;
        for (std::size_t i = firstCall; i < harness.page->calls.size(); ++i)
            if (harness.page->calls[i].function != "emit")
                ++found[harness.page->calls[i].argument];
        return found;
    };
    EXPECT_TRUE(harness.executor->runUntil([&] { return replies().size() >= expected.size(); }, std::chrono::seconds(20)));
    bool done = false;
    harness.bridge->shutdown([&] { done = true; });
    ASSERT_TRUE(harness.executor->runUntil([&] { return done; }));

    const std::map<std::string, int> found = replies();
    std::vector<std::string> mismatches;
    for (const auto& [id, count] : expected)
        if (found.count(id) == 0 || found.at(id) != count)
            mismatches.push_back(id + ": expected " + std::to_string(count) + ", got " +
                                 std::to_string(found.count(id) ? found.at(id) : 0) + " for " + bodies[id]);
    for (const auto& [id, count] : found)
        if (expected.count(id) == 0)
            mismatches.push_back(id + ": unexpected " + std::to_string(count));
    EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " mismatches, first: " << mismatches.front();
    EXPECT_GT(expected.size(), kMessages / 3u) << "the generator should address most messages";
    int resolved = 0;
    for (const PageCall& call : harness.page->calls)
        resolved += call.function == "resolve";
    EXPECT_GT(resolved, 100) << "some requests should also succeed";
}

// The decoders on their own: a random value either decodes or fails with
// JsonDecodeError, nothing else.
TEST(BridgeFuzz, DecodersOnlyEverFailWithADecodeError)
{
    Generator generate(7);
    using Decoder = std::function<void(const Json&)>;
    const std::vector<std::pair<std::string, Decoder>> decoders{
        {"scanVideo", [](const Json& p) { decodeScanRequest(p); }},
        {"exportVideo", [](const Json& p) { decodeExportRequest(p); }},
        {"checkCopy", [](const Json& p) { decodeCheckCopyRequest(p); }},
        {"cancelJob", [](const Json& p) { decodeCancelRequest(p); }},
        {"setPlayerBounds", [](const Json& p) { decodePlayerBounds(p); }},
        {"setPreview", [](const Json& p) { decodePreviewRequest(p); }},
        {"setDrawing", [](const Json& p) { decodeDrawingRequest(p); }},
        {"togglePlayback", [](const Json& p) { decodeVideoRequest(p); }},
        {"seek", [](const Json& p) { decodeSeekRequest(p); }},
        {"revealInFinder", [](const Json& p) { decodeRevealRequest(p); }},
        {"stepTrack", [](const Json& p) { decodeStepTrackRequest(p); }},
        {"saveReview", [](const Json& p) { decodeSaveReviewRequest(p); }},
        {"openReview", [](const Json& p) { decodeOpenReviewRequest(p); }},
        {"openVideoFile", [](const Json& p) { decodeFileRequest(p); }},
        {"setReviewState", [](const Json& p) { decodeReviewStateRequest(p); }},
    };
    int decoded = 0;
    for (int n = 0; n < 2000; ++n) {
        const auto& [method, decode] = decoders[static_cast<std::size_t>(generate.below(static_cast<int>(decoders.size())))];
        Json params = generate.validParams(method, "V");
        const bool changed = generate.chance(80);
        if (changed)
            generate.mutate(params);
        try {
            decode(params);
            ++decoded;
        } catch (const JsonDecodeError&) {
            EXPECT_TRUE(changed) << method << " " << params.dump();
        } catch (...) {
            ADD_FAILURE() << method << " threw something else for " << params.dump();
        }
    }
    EXPECT_GT(decoded, 400);
}

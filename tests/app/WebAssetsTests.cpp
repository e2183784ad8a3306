#include "ScrivelApp/WebAssets.hpp"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

namespace scrivel {
namespace {

namespace fs = std::filesystem;
using WebAssets::Outcome;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A page folder with a few files, a secret next to it and links both ways.
class WebAssetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/scrivel-webassets-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        folder_ = root_ / "web";
        writeFile(folder_ / "index.html", "<!doctype html><title>page</title>");
        writeFile(folder_ / "assets" / "app.js", "console.log(1)");
        writeFile(folder_ / "assets" / "Style.CSS", "body{}");
        writeFile(folder_ / "data.unknownext", "raw");
        writeFile(folder_ / "LICENSE", "text");
        writeFile(folder_ / "with space.txt", "spaced");
        writeFile(root_ / "secret.txt", "do not serve");
        writeFile(root_ / "webby" / "x.html", "sibling folder sharing the prefix");
        fs::create_symlink(root_ / "secret.txt", folder_ / "leak.txt");
        fs::create_symlink(root_, folder_ / "up");
        fs::create_symlink(folder_ / "index.html", folder_ / "alias.html");
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
    fs::path folder_;
};

TEST_F(WebAssetsTest, ServesFilesInsideTheFolder) {
    struct Case {
        std::string uri;
        fs::path file;
    };
    const std::vector<Case> cases{
        {"scrivel://app/index.html", "index.html"},
        {"scrivel://app/assets/app.js", "assets/app.js"},
        {"scrivel://app/index.html?v=3#top", "index.html"},
        {"scrivel://app/with%20space.txt", "with space.txt"},
        {"SCRIVEL://APP/index.html", "index.html"},
        // A link that stays inside the folder is fine.
        {"scrivel://app/alias.html", "index.html"},
    };
    for (const Case& c : cases) {
        const WebAssets::Resolution resolution = WebAssets::resolve(folder_, c.uri);
        EXPECT_EQ(resolution.outcome, Outcome::served) << c.uri;
        EXPECT_EQ(resolution.file, fs::canonical(folder_ / c.file)) << c.uri;
    }
}

TEST_F(WebAssetsTest, RefusesEveryWayOutOfTheFolder) {
    struct Case {
        std::string uri;
        Outcome outcome;
    };
    const std::vector<Case> cases{
        {"scrivel://other/index.html", Outcome::unsupportedURL},
        {"scrivel://application/index.html", Outcome::unsupportedURL},
        {"http://app/index.html", Outcome::unsupportedURL},
        {"scrivel:app/index.html", Outcome::unsupportedURL},
        {"", Outcome::unsupportedURL},
        {"scrivel://app", Outcome::noPermissionsToReadFile},
        {"scrivel://app/", Outcome::noPermissionsToReadFile},
        {"scrivel://app/../secret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/assets/../../secret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/assets/../index.html", Outcome::noPermissionsToReadFile},
        {"scrivel://app/%2e%2e/secret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/%2E%2E/secret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/.%2e/secret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/%2e%2e%2fsecret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/./index.html", Outcome::noPermissionsToReadFile},
        {"scrivel://app//etc/passwd", Outcome::noPermissionsToReadFile},
        {"scrivel://app/%2fetc%2fpasswd", Outcome::noPermissionsToReadFile},
        {"scrivel://app/..%5csecret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/index.html%00.png", Outcome::noPermissionsToReadFile},
        {"scrivel://app/bad%zzescape", Outcome::noPermissionsToReadFile},
        {"scrivel://app/trailing%2", Outcome::noPermissionsToReadFile},
        {"scrivel://app/leak.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/up/secret.txt", Outcome::noPermissionsToReadFile},
        {"scrivel://app/up/web/index.html", Outcome::served}, // back inside: only the real path counts
        {"scrivel://app/" + std::string(WebAssets::maxPathLength + 1, 'a'), Outcome::noPermissionsToReadFile},
        {"scrivel://app/missing.html", Outcome::readFailed},
        {"scrivel://app/assets", Outcome::readFailed},
        {"scrivel://app/assets/", Outcome::noPermissionsToReadFile},
    };
    for (const Case& c : cases) {
        const WebAssets::Resolution resolution = WebAssets::resolve(folder_, c.uri);
        EXPECT_EQ(resolution.outcome, c.outcome) << c.uri;
        if (resolution.outcome == Outcome::served) {
            EXPECT_EQ(resolution.file, fs::canonical(folder_ / "index.html")) << c.uri;
        } else {
            EXPECT_TRUE(resolution.file.empty()) << c.uri;
        }
    }
}

TEST_F(WebAssetsTest, SiblingFolderSharingTheNamePrefixIsOutside) {
    // "<root>/webby" starts with the text of "<root>/web" but is not inside it.
    const WebAssets::Resolution resolution = WebAssets::resolve(folder_, "scrivel://app/up/webby/x.html");
    EXPECT_EQ(resolution.outcome, Outcome::noPermissionsToReadFile);
}

TEST_F(WebAssetsTest, LoadReadsTheWholeFileWithItsType) {
    const WebAssets::Response page = WebAssets::load(folder_, "scrivel://app/index.html");
    EXPECT_EQ(page.outcome, Outcome::served);
    EXPECT_EQ(page.mimeType, "text/html");
    EXPECT_EQ(page.bytes, "<!doctype html><title>page</title>");

    const WebAssets::Response style = WebAssets::load(folder_, "scrivel://app/assets/Style.CSS");
    EXPECT_EQ(style.mimeType, "text/css");
    EXPECT_EQ(style.bytes, "body{}");

    const WebAssets::Response unknown = WebAssets::load(folder_, "scrivel://app/data.unknownext");
    EXPECT_EQ(unknown.outcome, Outcome::served);
    EXPECT_EQ(unknown.mimeType, "application/octet-stream");

    const WebAssets::Response secret = WebAssets::load(folder_, "scrivel://app/leak.txt");
    EXPECT_EQ(secret.outcome, Outcome::noPermissionsToReadFile);
    EXPECT_TRUE(secret.bytes.empty());
    EXPECT_FALSE(secret.message.empty());
}

TEST(WebAssetsMimeType, FromTheExtensionCaseInsensitively) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"index.html", "text/html"},   {"a.HTM", "text/html"},          {"app.js", "text/javascript"},
        {"m.mjs", "text/javascript"},  {"s.css", "text/css"},           {"d.json", "application/json"},
        {"i.svg", "image/svg+xml"},    {"p.PNG", "image/png"},          {"p.jpeg", "image/jpeg"},
        {"f.woff2", "font/woff2"},     {"w.wasm", "application/wasm"},  {"LICENSE", "application/octet-stream"},
        {"x.bin", "application/octet-stream"}, {".html", "application/octet-stream"},
    };
    for (const auto& [file, type] : cases) EXPECT_EQ(WebAssets::mimeType(file), type) << file;
}

TEST(WebAssetsPercentDecode, DecodesEscapesAndRejectsBrokenOnes) {
    std::string decoded;
    EXPECT_TRUE(WebAssets::percentDecode("a%20b%2Fc%41", decoded));
    EXPECT_EQ(decoded, "a b/cA");
    EXPECT_TRUE(WebAssets::percentDecode("", decoded));
    EXPECT_EQ(decoded, "");
    for (const char* broken : {"%", "%4", "a%g0", "%0g", "end%"}) {
        EXPECT_FALSE(WebAssets::percentDecode(broken, decoded)) << broken;
    }
}

} // namespace
} // namespace scrivel

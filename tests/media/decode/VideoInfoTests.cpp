#include <gtest/gtest.h>

#include "decode/VideoInfo.hpp"

using namespace scrivel;

namespace {

VideoInfo sample()
{
    return VideoInfo{"6F1C2B9E-3D4A-4B5C-8D6E-7F8091A2B3C4", "Screen Recording 1.mov", 12.5, 1080, 1920, 59.94, 73400320};
}

TEST(VideoInfo, JsonHasExactlyTheSevenKeysAndRoundTrips)
{
    const Json json = toJson(sample());
    EXPECT_EQ(json.size(), 7u);
    EXPECT_EQ(json.at("displayName"), "Screen Recording 1.mov");
    EXPECT_TRUE(json.at("width").is_number_integer());
    EXPECT_TRUE(json.at("fileSize").is_number_integer());
    EXPECT_EQ(decode<VideoInfo>(json), sample());
    EXPECT_EQ(decodeText<VideoInfo>(json.dump()), sample());
}

TEST(VideoInfo, DecodingRequiresEveryKeyWithItsTypeAndIgnoresExtras)
{
    for (const char* key : {"id", "displayName", "duration", "width", "height", "nominalFrameRate", "fileSize"}) {
        SCOPED_TRACE(key);
        Json json = toJson(sample());
        json.erase(key);
        EXPECT_THROW(decode<VideoInfo>(json), JsonDecodeError);
    }
    const std::pair<const char*, Json> wrongTypes[] = {
        {"id", 7}, {"width", 1080.5}, {"duration", "12.5"}, {"fileSize", nullptr}, {"displayName", Json::array()}};
    for (const auto& [key, value] : wrongTypes) {
        SCOPED_TRACE(key);
        Json json = toJson(sample());
        json[key] = value;
        EXPECT_THROW(decode<VideoInfo>(json), JsonDecodeError);
    }
    Json extra = toJson(sample());
    extra["codec"] = "h264";
    EXPECT_EQ(decode<VideoInfo>(extra), sample());
    EXPECT_THROW(decode<VideoInfo>(Json::array()), JsonDecodeError);
}

} // namespace

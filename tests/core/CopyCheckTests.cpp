#include <gtest/gtest.h>

#include "ScrivelCore/CopyCheck.hpp"

namespace scrivel {
namespace {

ReadableText seen(std::int64_t frame, RedactionKind kind, std::string text = "x")
{
    return {frame, frame / 10.0, kind, std::move(text), "line", {0, 0, 0.1, 0.1}, 0.9F};
}

TEST(CopyCheck, MomentsAreRunsOfFramesPerKind)
{
    using K = RedactionKind;
    struct Case {
        const char* name;
        std::vector<ReadableText> readable;
        std::int64_t gap;
        std::vector<ReadableMoment> expected;
    };
    const std::vector<Case> cases = {
        {"nothing readable", {}, 1, {}},
        {"one frame", {seen(4, K::email, "a@b.co")}, 1, {{0.4, 0.4, K::email, "a@b.co", 1}}},
        {"consecutive frames join, the first text names the run",
         {seen(1, K::phone, "555"), seen(2, K::phone, "556"), seen(3, K::phone)},
         1,
         {{0.1, 0.3, K::phone, "555", 3}}},
        {"a frame without it splits the run", {seen(1, K::han), seen(3, K::han)}, 1,
         {{0.1, 0.1, K::han, "x", 1}, {0.3, 0.3, K::han, "x", 1}}},
        {"unless the gap allows it", {seen(1, K::han), seen(3, K::han)}, 2, {{0.1, 0.3, K::han, "x", 2}}},
        {"two spans of a kind in a frame count the frame once", {seen(5, K::email, "a"), seen(5, K::email, "b")}, 1,
         {{0.5, 0.5, K::email, "a", 1}}},
        {"kinds run side by side, ordered by start then kind",
         {seen(2, K::phone), seen(1, K::email), seen(2, K::email), seen(3, K::phone)},
         1,
         {{0.1, 0.2, K::email, "x", 2}, {0.2, 0.3, K::phone, "x", 2}}},
    };
    for (const Case& c : cases) {
        CopyCheck check;
        check.readable = c.readable;
        EXPECT_EQ(check.moments(c.gap), c.expected) << c.name;
    }
}

TEST(CopyCheck, VerdictCountsAndJson)
{
    CopyCheck check;
    check.framesRead = 10;
    EXPECT_TRUE(check.clean());
    check.notes.push_back("re-encoded");
    EXPECT_TRUE(check.clean()) << "a note is not a fault";
    check.differences.push_back("The copy has 9 frames; the original has 10.");
    EXPECT_FALSE(check.clean());

    CopyCheck readable;
    readable.readable = {seen(1, RedactionKind::email, "a@b.co"), seen(1, RedactionKind::phone),
                         seen(4, RedactionKind::email, "a@b.co")};
    EXPECT_FALSE(readable.clean());
    EXPECT_EQ(readable.framesWithReadableText(), 2);
    const Json json = toJson(readable);
    EXPECT_EQ(json["clean"], false);
    EXPECT_EQ(json["faithful"], true);
    EXPECT_EQ(json["framesWithReadableText"], 2);
    EXPECT_EQ(json["moments"].size(), 3U);
    EXPECT_EQ(json["readable"][0]["kind"], "email");
    EXPECT_EQ(json["readable"][0]["text"], "a@b.co");
    EXPECT_EQ(json["readable"][0]["box"]["width"], 0.1);
}

} // namespace
} // namespace scrivel

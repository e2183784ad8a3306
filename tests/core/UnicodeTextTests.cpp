#include <gtest/gtest.h>

#include "ScrivelCore/UnicodeText.hpp"

namespace scrivel::unicode {
namespace {

struct Expected {
    std::string text;
    std::size_t utf8Offset;
    std::size_t utf16Offset;
    std::size_t utf16Length;
};

void expectClusters(std::string_view input, const std::vector<Expected>& expected)
{
    const auto clusters = graphemeClusters(input);
    ASSERT_EQ(clusters.size(), expected.size()) << input;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(clusters[i].text, expected[i].text) << "cluster " << i;
        EXPECT_EQ(clusters[i].utf8Offset, expected[i].utf8Offset) << "cluster " << i;
        EXPECT_EQ(clusters[i].utf16Offset, expected[i].utf16Offset) << "cluster " << i;
        EXPECT_EQ(clusters[i].utf16Length, expected[i].utf16Length) << "cluster " << i;
    }
}

TEST(UnicodeText, clustersOfMixedText)
{
    expectClusters("", {});
    expectClusters("ab", {{"a", 0, 0, 1}, {"b", 1, 1, 1}});
    // CR LF is one character even in plain ASCII.
    expectClusters("a\r\nb", {{"a", 0, 0, 1}, {"\r\n", 1, 1, 2}, {"b", 3, 3, 1}});
    expectClusters("e\u0301\u4E2D", {{"e\u0301", 0, 0, 2}, {"\u4E2D", 3, 2, 1}});
    expectClusters("\U0001F468\u200D\U0001F469x",
                   {{"\U0001F468\u200D\U0001F469", 0, 0, 5}, {"x", 11, 5, 1}});
    expectClusters("\U0001F1EF\U0001F1F5\U0001F1FA\U0001F1F8",
                   {{"\U0001F1EF\U0001F1F5", 0, 0, 4}, {"\U0001F1FA\U0001F1F8", 8, 4, 4}});
    // Hangul jamo compose into one syllable character.
    expectClusters("\u1100\u1161\u11A8", {{"\u1100\u1161\u11A8", 0, 0, 3}});
}

TEST(UnicodeText, invalidSequencesBecomeReplacementCharacters)
{
    // A lone continuation byte and a truncated three-byte sequence.
    expectClusters("a\x80" "b\xE4\xB8", {{"a", 0, 0, 1}, {"\uFFFD", 1, 1, 1}, {"b", 4, 2, 1}, {"\uFFFD", 5, 3, 1}});
    EXPECT_EQ(toUtf16("x\xC3"), u"x\uFFFD");
    EXPECT_EQ(toUtf8(u"a\xD800z"), "a\uFFFDz");
}

TEST(UnicodeText, conversionsRoundTrip)
{
    for (const std::string text : {"", "plain", "\u4E2D\u6587", "caf\u00E9 e\u0301", "\U0001F600\U00020000"}) {
        EXPECT_EQ(toUtf8(toUtf16(text)), text);
    }
    EXPECT_EQ(toUtf16("\U0001F600"), u"\U0001F600");
    EXPECT_EQ(toUtf16("\U0001F600").size(), 2u);
}

TEST(UnicodeText, boundariesListStartsThenLength)
{
    EXPECT_EQ(clusterBoundaries(u""), (std::vector<std::size_t>{0}));
    EXPECT_EQ(clusterBoundaries(u"ab"), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(clusterBoundaries(u"\U0001F600e\u0301"), (std::vector<std::size_t>{0, 2, 4}));
}

} // namespace
} // namespace scrivel::unicode

// Where a line's redacted spans lie along it, per kind.

#include <mutex>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "ScrivelCore/Errors.hpp"
#include "tracking/TrackerPlanning.hpp"
#include "support/TrackerSamples.hpp"

namespace {

// --- selection layout -----------------------------------------------------

TEST(SelectionLayout, mergesOverlappingSpansOfOneKindInLeftToRightOrder)
{
    const SelectionLayout layout({selection(RedactionKind::email, 0.5, 0.25), selection(RedactionKind::phone, 0.125, 0.125),
                                  selection(RedactionKind::email, 0.125, 0.25), selection(RedactionKind::email, 0.25, 0.0625),
                                  selection(RedactionKind::email, 0.75, 0.125)});
    ASSERT_EQ(layout.spans().size(), 2u);
    // 0.75 touches the span ending there; the third lies inside the second.
    EXPECT_EQ(layout.spans().at(RedactionKind::email), (Ranges{{0.125, 0.375}, {0.5, 0.875}}));
    EXPECT_EQ(layout.spans().at(RedactionKind::phone), (Ranges{{0.125, 0.25}}));
    EXPECT_TRUE(SelectionLayout(std::vector<TextSelection>{}).empty());
}

TEST(SelectionLayout, agreesWhenTheSpansOverlapByEightyPercentOfTheLongerTotal)
{
    const auto email = [](double x, double width) { return SelectionLayout({selection(RedactionKind::email, x, width)}); };
    struct Case {
        const char* name;
        SelectionLayout a, b;
        bool agrees;
    };
    const Case cases[] = {
        {"identical", email(0.25, 0.5), email(0.25, 0.5), true},
        {"shifted 15 % of the length", email(0.25, 0.5), email(0.325, 0.5), true},
        {"shifted 25 % of the length", email(0.25, 0.5), email(0.375, 0.5), false},
        {"other much longer", email(0.25, 0.5), email(0.0, 1.0), false},
        {"other lacks the kind", email(0.25, 0.5), SelectionLayout({selection(RedactionKind::phone, 0.25, 0.5)}), false},
        {"two ranges against one", SelectionLayout({selection(RedactionKind::han, 0.0, 0.45), selection(RedactionKind::han, 0.55, 0.45)}),
         SelectionLayout({selection(RedactionKind::han, 0.0, 1.0)}), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.a.agrees(c.b), c.agrees) << c.name;
}

TEST(SelectionLayout, coversComparesSpansPlacedInTheFrame)
{
    const SelectionLayout rightHalf({selection(RedactionKind::email, 0.5, 0.5)});
    const SelectionLayout whole({selection(RedactionKind::email, 0, 1)});
    const NormalizedRect narrow{0.2, 0.1, 0.4, 0.05}; // right half in the frame: 0.4 … 0.6
    EXPECT_TRUE(rightHalf.covers(whole, narrow, {0.3, 0.1, 0.4, 0.05}));  // 0.3 … 0.7
    EXPECT_TRUE(rightHalf.covers(whole, narrow, {0.44, 0.1, 0.4, 0.05})); // 80 % of 0.4 … 0.6
    EXPECT_FALSE(rightHalf.covers(whole, narrow, {0.45, 0.1, 0.4, 0.05}));
    EXPECT_FALSE(rightHalf.covers(SelectionLayout({selection(RedactionKind::phone, 0, 1)}), narrow, narrow));
    EXPECT_TRUE(SelectionLayout().covers(whole, narrow, narrow));
}

} // namespace

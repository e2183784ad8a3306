#include "tracking/SelectionLayout.hpp"

#include <algorithm>

namespace scrivel {

namespace {

constexpr double agreementShare = 0.8;

double overlap(const SelectionLayout::Range& range, const std::vector<SelectionLayout::Range>& others)
{
    double total = 0;
    for (const SelectionLayout::Range& other : others)
        total += std::max(std::min(range.upper, other.upper) - std::max(range.lower, other.lower), 0.0);
    return total;
}

double totalLength(const std::vector<SelectionLayout::Range>& ranges)
{
    double total = 0;
    for (const SelectionLayout::Range& range : ranges)
        total += range.length();
    return total;
}

std::vector<SelectionLayout::Range> placed(const std::vector<SelectionLayout::Range>& ranges, const NormalizedRect& rect)
{
    std::vector<SelectionLayout::Range> result;
    result.reserve(ranges.size());
    for (const SelectionLayout::Range& range : ranges)
        result.push_back({rect.x + range.lower * rect.width, rect.x + range.upper * rect.width});
    return result;
}

} // namespace

SelectionLayout::SelectionLayout(const std::vector<TextSelection>& selections)
{
    std::vector<const TextSelection*> ordered;
    ordered.reserve(selections.size());
    for (const TextSelection& selection : selections)
        ordered.push_back(&selection);
    std::stable_sort(ordered.begin(), ordered.end(),
        [](const TextSelection* a, const TextSelection* b) { return a->rect.x < b->rect.x; });

    for (const TextSelection* selection : ordered) {
        // A negative width counts as an empty span rather than a reversed one.
        const Range range{selection->rect.x, selection->rect.x + std::max(selection->rect.width, 0.0)};
        std::vector<Range>& ranges = spans_[selection->kind];
        if (!ranges.empty() && ranges.back().upper >= range.lower)
            ranges.back().upper = std::max(ranges.back().upper, range.upper);
        else
            ranges.push_back(range);
    }
}

bool SelectionLayout::hasSameKinds(const SelectionLayout& other) const
{
    return std::equal(spans_.begin(), spans_.end(), other.spans_.begin(), other.spans_.end(),
        [](const auto& a, const auto& b) { return a.first == b.first; });
}

bool SelectionLayout::agrees(const SelectionLayout& other) const
{
    static const std::vector<Range> none;
    for (const auto& [kind, ranges] : spans_) {
        const auto found = other.spans_.find(kind);
        const std::vector<Range>& others = found == other.spans_.end() ? none : found->second;
        double shared = 0;
        for (const Range& range : ranges)
            shared += overlap(range, others);
        if (agreementShare * std::max(totalLength(ranges), totalLength(others)) > shared)
            return false;
    }
    return true;
}

bool SelectionLayout::covers(const SelectionLayout& other, const NormalizedRect& rect, const NormalizedRect& otherRect) const
{
    for (const auto& [kind, ranges] : spans_) {
        const auto found = other.spans_.find(kind);
        const std::vector<Range> others = found == other.spans_.end() ? std::vector<Range>{} : placed(found->second, otherRect);
        for (const Range& range : placed(ranges, rect)) {
            if (overlap(range, others) < agreementShare * range.length())
                return false;
        }
    }
    return true;
}

} // namespace scrivel

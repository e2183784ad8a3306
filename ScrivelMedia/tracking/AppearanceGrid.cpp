#include "tracking/AppearanceGrid.hpp"

namespace scrivel {

namespace {
constexpr float flatVariance = 4e-5f;
} // namespace

std::optional<AppearanceGrid> AppearanceGrid::make(std::vector<double> x, std::vector<double> y, const std::vector<float>& values)
{
    if (values.empty())
        return std::nullopt;
    float sum = 0;
    for (const float value : values)
        sum += value;
    const float mean = sum / static_cast<float>(values.size());
    AppearanceGrid grid;
    grid.x = std::move(x);
    grid.y = std::move(y);
    grid.centered.reserve(values.size());
    for (const float value : values) {
        const float c = value - mean;
        grid.centered.push_back(c);
        grid.energy += c * c;
    }
    if (!(grid.energy / static_cast<float>(values.size()) > flatVariance))
        return std::nullopt;
    return grid;
}

std::optional<AppearanceGrid> AppearanceGrid::part(int index) const
{
    const int columns = static_cast<int>(x.size());
    const int first = index * columns / 3, last = (index + 1) * columns / 3;
    std::vector<double> partX(x.begin() + first, x.begin() + last);
    std::vector<float> values;
    values.reserve(static_cast<std::size_t>(last - first) * y.size());
    for (std::size_t row = 0; row < y.size(); ++row)
        for (int column = first; column < last; ++column)
            values.push_back(centered[row * columns + column]);
    return make(std::move(partX), y, values);
}

} // namespace scrivel

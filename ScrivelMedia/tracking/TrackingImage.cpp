#include "tracking/TrackingImage.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "common/VectorClones.hpp"

namespace scrivel {

namespace {

constexpr int smallestPyramidSide = 16;
constexpr int maximumColumns = 96;
constexpr int maximumRows = 24;
constexpr int coarseColumns = 32;
constexpr int coarseRows = 8;
constexpr double marginOfLineHeight = 0.2;
constexpr int minimumSamples = 12;
constexpr float flatVariance = 4e-5f;
constexpr double immediateCorrelation = 1.0;
// A line found this well within two pixels of where it was predicted is
// taken there without the wide search. Between 0.9 and 0.96 (coding noise,
// a pointer or selection over part of the line) the wide search settled
// within a pixel of the same place in all but about one in 600 searches on a
// scrolling sheet, and cost a third of its tracking time.
constexpr double refineOnlyCorrelation = 0.90;
constexpr double visiblePartCorrelation = 0.7;
constexpr double visiblePartsAgreementPixels = 1.0;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Clamped truncation; the clamp happens before the conversion so that huge
// or negative values never overflow an int.
int clampedIndex(double value, int last)
{
    if (!(value > 0))
        return 0;
    return static_cast<int>(std::min(std::trunc(value), static_cast<double>(last)));
}

// Parabola through three samples: the vertex offset from the middle one.
double peak(double a, double b, double c)
{
    if (!std::isfinite(a) || !std::isfinite(c))
        return 0;
    const double d = a - 2 * b + c;
    if (!(d < -1e-6 && a <= b && c <= b))
        return 0;
    return std::clamp((a - c) * 0.5 / d, -0.5, 0.5);
}

struct Record {
    int x;
    int y;
    double correlation;
};

// Best first, equal scores in recording order; three kept of four or more.
// A selection rather than a sort: a search ranks thousands of short lists a
// frame, and a stable sort allocates a buffer for each.
void keepBest(std::vector<Record>& records)
{
    const std::size_t kept = records.size() >= 4 ? 3 : records.size();
    for (std::size_t i = 0; i < kept; ++i) {
        std::size_t best = i;
        for (std::size_t j = i + 1; j < records.size(); ++j)
            if (records[j].correlation > records[best].correlation)
                best = j;
        std::rotate(records.begin() + static_cast<std::ptrdiff_t>(i), records.begin() + static_cast<std::ptrdiff_t>(best),
                    records.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
    records.resize(kept);
}

double spacing(const std::vector<double>& positions)
{
    return positions.size() >= 2 ? positions[1] - positions[0] : 1.0;
}

// One grid's correlations during one match, by whole-pixel offset within
// `reach` of the start: the search's neighbourhoods overlap (three 3 x 3
// blocks around neighbouring survivors, then the refinement around the best
// of them), and a correlation depends on nothing but the grid and the
// offset, so each is worked out once.
class OffsetCorrelations {
public:
    OffsetCorrelations(const TrackingImage& image, const AppearanceGrid& grid, const NormalizedRect& rect, int reach)
        : image_(image), grid_(grid), rect_(rect), reach_(reach),
          known_(static_cast<std::size_t>(2 * reach + 1) * (2 * reach + 1), std::numeric_limits<double>::quiet_NaN())
    {
    }

    double at(int dx, int dy)
    {
        double* value = kept(dx, dy);
        if (!value)
            return image_.correlation(grid_, rect_, dx, dy);
        if (std::isnan(*value))
            *value = image_.correlation(grid_, rect_, dx, dy);
        return *value;
    }
    // Works out those of `offsets` within the reach and not known yet,
    // column by column (see TrackingImage::correlations), so that at() then
    // finds them.
    void prefetch(const std::vector<std::pair<int, int>>& offsets)
    {
        std::map<int, std::vector<int>> columns; // dx -> dys
        for (const auto& [dx, dy] : offsets) {
            const double* value = kept(dx, dy);
            if (value && std::isnan(*value)) {
                std::vector<int>& dys = columns[dx];
                if (std::find(dys.begin(), dys.end(), dy) == dys.end())
                    dys.push_back(dy);
            }
        }
        std::vector<double> values;
        for (const auto& [dx, dys] : columns) {
            values.resize(dys.size());
            image_.correlations(grid_, rect_, dx, dys, values.data());
            for (std::size_t k = 0; k < dys.size(); ++k)
                *kept(dx, dys[k]) = values[k];
        }
    }
    // A correlation measured before the search began.
    void remember(int dx, int dy, double value)
    {
        if (double* slot = kept(dx, dy))
            *slot = value;
    }
    // Between whole pixels: not kept.
    double between(double x, double y) const { return image_.correlation(grid_, rect_, x, y); }

private:
    // Where the correlation at (dx, dy) is kept; nothing beyond the reach.
    double* kept(int dx, int dy)
    {
        if (std::abs(dx) > reach_ || std::abs(dy) > reach_)
            return nullptr;
        return &known_[static_cast<std::size_t>(dy + reach_) * (2 * reach_ + 1) + (dx + reach_)];
    }

    const TrackingImage& image_;
    const AppearanceGrid& grid_;
    const NormalizedRect& rect_;
    const int reach_;
    std::vector<double> known_; // NaN: not worked out yet (a correlation is never NaN)
};

struct PixelMatch {
    double x;
    double y;
    double correlation;
};

// Sub-pixel refinement around the whole-pixel best (x, y), whose correlation
// is `centre`.
PixelMatch refined(OffsetCorrelations& correlations, int x, int y, double centre)
{
    double left = correlations.at(x - 1, y), right = correlations.at(x + 1, y);
    double up = correlations.at(x, y - 1), down = correlations.at(x, y + 1);
    double best = centre;
    int moveX = 0, moveY = 0;
    const std::array<std::pair<double, std::pair<int, int>>, 4> neighbours{{{left, {-1, 0}}, {right, {1, 0}}, {up, {0, -1}}, {down, {0, 1}}}};
    for (const auto& [value, move] : neighbours)
        if (value > best) {
            best = value;
            moveX = move.first;
            moveY = move.second;
        }
    if (moveX != 0 || moveY != 0) {
        x += moveX;
        y += moveY;
        left = correlations.at(x - 1, y);
        right = correlations.at(x + 1, y);
        up = correlations.at(x, y - 1);
        down = correlations.at(x, y + 1);
    }
    const double fx = peak(left, best, right), fy = peak(up, best, down);
    const double finer = correlations.between(x + fx, y + fy);
    if (finer > best)
        return {x + fx, y + fy, finer};
    return {static_cast<double>(x), static_cast<double>(y), best};
}

// Where each grid column samples a raster row (linear between x0 and x1),
// whether it lies inside the frame, and two raster rows' values at the
// columns. One per thread, reused: correlation() is the tracker's innermost
// step.
struct ColumnTable {
    void fit(int columns)
    {
        if (static_cast<int>(x0.size()) >= columns)
            return;
        const auto size = static_cast<std::size_t>(columns);
        x0.resize(size);
        x1.resize(size);
        fraction.resize(size);
        inside.resize(size);
        for (std::vector<float>& values : rowValues)
            values.resize(size);
    }
    std::vector<int> x0;
    std::vector<int> x1;
    std::vector<float> fraction;
    std::vector<char> inside;
    std::array<std::vector<float>, 2> rowValues;
};

void interpolateColumns(const float* row, const int* x0, const int* x1, const float* fraction, int columns,
                        float* values)
{
    for (int i = 0; i < columns; ++i)
        values[i] = (1 - fraction[i]) * row[x0[i]] + fraction[i] * row[x1[i]];
}

struct RowSums {
    float b = 0;
    float bb = 0;
    float ab = 0;
};

// Sums of b, b² and a·b along one grid row, where b lies between the raster
// rows above and below (weight `fy` of below), eight columns at a time.
SCRIVEL_VECTOR_CLONES RowSums sumsAlongRow(const float* above, const float* below, float fy, const float* a, int columns)
{
    using Lanes = float __attribute__((vector_size(32)));
    constexpr int lanes = 8;
    const Lanes upperWeight = Lanes{} + (1 - fy);
    const Lanes lowerWeight = Lanes{} + fy;
    Lanes b{}, bb{}, ab{};
    int i = 0;
    for (; i + lanes <= columns; i += lanes) {
        Lanes upper, lower, expected;
        std::memcpy(&upper, above + i, sizeof upper);
        std::memcpy(&lower, below + i, sizeof lower);
        std::memcpy(&expected, a + i, sizeof expected);
        const Lanes value = upperWeight * upper + lowerWeight * lower;
        b += value;
        bb += value * value;
        ab += expected * value;
    }
    RowSums sums;
    for (; i < columns; ++i) {
        const float value = (1 - fy) * above[i] + fy * below[i];
        sums.b += value;
        sums.bb += value * value;
        sums.ab += a[i] * value;
    }
    for (int k = 0; k < lanes; ++k) {
        sums.b += b[k];
        sums.bb += bb[k];
        sums.ab += ab[k];
    }
    return sums;
}

// The normalised cross-correlation from the sums over n samples. With every
// sample taken, the grid's own variance sum is its `energy`; otherwise it
// comes from sumA and sumAA.
double correlationOf(int n, float sumB, float sumBB, float sumAB, float sumA, float sumAA, bool allInside,
                     float energy)
{
    if (n < minimumSamples)
        return -infinity;
    const float count = static_cast<float>(n);
    const float varB = sumBB - sumB * sumB / count;
    const float varA = allInside ? energy : sumAA - sumA * sumA / count;
    if (!(varB / count > flatVariance && varA / count > flatVariance))
        return 0;
    const double r = (sumAB - sumA * sumB / count) / std::sqrt(static_cast<double>(varB) * varA);
    return std::clamp(r, -1.0, 1.0);
}

} // namespace

TrackingImage TrackingImage::fromRGBA(int width, int height, std::vector<std::uint8_t> rgba)
{
    TrackingImage image;
    image.width = width;
    image.height = height;
    image.rgba = std::move(rgba);
    GrayRaster base;
    base.width = width;
    base.height = height;
    base.pixels.resize(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < base.pixels.size(); ++i) {
        const std::uint8_t* p = image.rgba.data() + 4 * i;
        base.pixels[i] = static_cast<float>((0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]) / 255.0);
    }
    image.levels.push_back(std::move(base));
    while (std::min(image.levels.back().width, image.levels.back().height) > smallestPyramidSide)
        image.levels.push_back(image.levels.back().downsampled());
    return image;
}

std::optional<TrackingImage> TrackingImage::make(const Image& frame, int maximumDimension)
{
    if (maximumDimension < 1 || frame.empty())
        return std::nullopt;
    const double s = std::min(static_cast<double>(maximumDimension) / std::max(frame.width(), frame.height()), 1.0);
    const int width = std::max<int>(static_cast<int>(std::lround(s * frame.width())), 1);
    const int height = std::max<int>(static_cast<int>(std::lround(s * frame.height())), 1);
    cv::Mat scaled = frame.pixels;
    if (width != frame.width() || height != frame.height())
        cv::resize(frame.pixels, scaled, {width, height}, 0, 0, cv::INTER_AREA);
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    cv::Mat destination(height, width, CV_8UC4, rgba.data());
    cv::cvtColor(scaled, destination, cv::COLOR_BGR2RGBA); // opaque, so premultiplying changes nothing
    return fromRGBA(width, height, std::move(rgba));
}

TrackingImage::Level TrackingImage::levelFor(const AppearanceGrid& grid, const NormalizedRect& rect) const
{
    const double dx = spacing(grid.x) * rect.width * width;
    const double dy = spacing(grid.y) * rect.height * height;
    const double wanted = std::trunc(std::log2(std::max(std::min(dx, dy), 1.0)));
    const int index = static_cast<int>(std::clamp(wanted, 0.0, static_cast<double>(levels.size() - 1)));
    return {index, std::ldexp(1.0, index)};
}

std::optional<AppearanceGrid> TrackingImage::sampledGrid(std::vector<double> x, std::vector<double> y, const NormalizedRect& rect) const
{
    AppearanceGrid positions;
    positions.x = x;
    positions.y = y;
    const Level level = levelFor(positions, rect);
    const GrayRaster& raster = levels[level.index];
    std::vector<float> values;
    values.reserve(x.size() * y.size());
    for (const double row : y) {
        const double ly = (row * rect.height + rect.y) * height / level.scale - 0.5;
        for (const double column : x)
            values.push_back(raster.sample((column * rect.width + rect.x) * width / level.scale - 0.5, ly));
    }
    return AppearanceGrid::make(std::move(x), std::move(y), values);
}

std::optional<AppearancePatch> TrackingImage::makePatch(const NormalizedRect& rect) const
{
    if (!(rect.width > 0 && rect.height > 0))
        return std::nullopt;
    const double my = marginOfLineHeight * rect.height;
    const double mx = height * rect.height * marginOfLineHeight / width;
    const double x0 = std::max(rect.x - mx, 0.0), x1 = std::min(rect.x + rect.width + mx, 1.0);
    const double y0 = std::max(rect.y - my, 0.0), y1 = std::min(rect.y + rect.height + my, 1.0);
    if (!(x0 < x1 && y0 < y1))
        return std::nullopt;
    const int columns = static_cast<int>(std::clamp(std::ceil((x1 - x0) * width), 4.0, static_cast<double>(maximumColumns)));
    const int rows = static_cast<int>(std::clamp(std::ceil((y1 - y0) * height), 4.0, static_cast<double>(maximumRows)));
    std::vector<double> x(columns), y(rows);
    for (int i = 0; i < columns; ++i)
        x[i] = (x0 - rect.x + (x1 - x0) / columns * (i + 0.5)) / rect.width;
    for (int j = 0; j < rows; ++j)
        y[j] = (y0 - rect.y + (y1 - y0) / rows * (j + 0.5)) / rect.height;

    std::optional<AppearanceGrid> full = sampledGrid(x, y, rect);
    if (!full)
        return std::nullopt;
    const int columnStride = std::max(static_cast<int>(std::ceil(columns / static_cast<double>(coarseColumns))), 1);
    const int rowStride = std::max(static_cast<int>(std::ceil(rows / static_cast<double>(coarseRows))), 1);
    std::vector<double> coarseX, coarseY;
    for (int i = 0; i < columns; i += columnStride)
        coarseX.push_back(x[i]);
    for (int j = 0; j < rows; j += rowStride)
        coarseY.push_back(y[j]);
    std::optional<AppearanceGrid> coarse = sampledGrid(std::move(coarseX), std::move(coarseY), rect);
    return AppearancePatch{*full, coarse ? std::move(*coarse) : *full};
}

double TrackingImage::correlation(const AppearanceGrid& grid, const NormalizedRect& rect, double offsetX, double offsetY) const
{
    const int columns = static_cast<int>(grid.x.size());
    const int rows = static_cast<int>(grid.y.size());
    if (columns == 0 || rows == 0)
        return -infinity;
    const Level level = levelFor(grid, rect);
    const GrayRaster& raster = levels[level.index];

    const auto columnPosition = [&](int i) { return width * rect.x - 0.5 + offsetX + width * rect.width * grid.x[i]; };
    const auto rowPosition = [&](int j) { return height * rect.y - 0.5 + offsetY + height * rect.height * grid.y[j]; };
    const bool allInside = columnPosition(0) >= -0.5 && rowPosition(0) >= -0.5 && columnPosition(columns - 1) < width - 0.5
        && rowPosition(rows - 1) < height - 0.5;

    thread_local ColumnTable table;
    table.fit(columns);
    // Levels are powers of two apart, so multiplying by the inverse scale is
    // exact.
    const double inverseScale = 1.0 / level.scale;
    const double lastColumn = raster.width - 1;
    int* const columnX0 = table.x0.data();
    int* const columnX1 = table.x1.data();
    float* const fractions = table.fraction.data();
    char* const inside = table.inside.data();
    for (int i = 0; i < columns; ++i) {
        const double px = columnPosition(i);
        const double lx = std::clamp((px + 0.5) * inverseScale - 0.5, 0.0, lastColumn);
        const int x0 = static_cast<int>(lx);
        columnX0[i] = x0;
        columnX1[i] = std::min(x0 + 1, raster.width - 1);
        fractions[i] = static_cast<float>(lx - x0);
        inside[i] = px >= -0.5 && px < width - 0.5;
    }
    const auto rasterRow = [&](int y) { return raster.pixels.data() + static_cast<std::size_t>(y) * raster.width; };

    int n = 0;
    float sumB = 0, sumBB = 0, sumAB = 0, sumA = 0, sumAA = 0;
    if (allInside) {
        // Every sample is taken: each raster row's values at the grid's
        // columns are interpolated once (consecutive grid rows often share a
        // raster row), and the sums run over whole rows at a time.
        int cachedRow[2] = {-1, -1};
        float* cached[2] = {table.rowValues[0].data(), table.rowValues[1].data()};
        const auto slotOf = [&](int y) { return cachedRow[0] == y ? 0 : cachedRow[1] == y ? 1 : -1; };
        // The values of raster row y, computed into the slot other than
        // `keep` unless they are cached already.
        const auto valuesAt = [&](int y, int keep) {
            int slot = slotOf(y);
            if (slot < 0) {
                slot = keep == 0 ? 1 : 0;
                interpolateColumns(rasterRow(y), columnX0, columnX1, fractions, columns, cached[slot]);
                cachedRow[slot] = y;
            }
            return slot;
        };
        for (int j = 0; j < rows; ++j) {
            const double ly = std::clamp((rowPosition(j) + 0.5) * inverseScale - 0.5, 0.0, static_cast<double>(raster.height - 1));
            const int y0 = static_cast<int>(ly);
            const int y1 = std::min(y0 + 1, raster.height - 1);
            const int aboveSlot = valuesAt(y0, slotOf(y1));
            const float* above = cached[aboveSlot];
            const float* below = cached[valuesAt(y1, aboveSlot)];
            const RowSums row = sumsAlongRow(above, below, static_cast<float>(ly - y0),
                                             grid.centered.data() + static_cast<std::size_t>(j) * columns, columns);
            sumB += row.b;
            sumBB += row.bb;
            sumAB += row.ab;
        }
        n = rows * columns;
    } else {
        for (int j = 0; j < rows; ++j) {
            const double py = rowPosition(j);
            if (py < -0.5 || py >= height - 0.5)
                continue;
            const double ly = std::clamp((py + 0.5) * inverseScale - 0.5, 0.0, static_cast<double>(raster.height - 1));
            const int y0 = static_cast<int>(ly);
            const float fy = static_cast<float>(ly - y0);
            const float* row0 = rasterRow(y0);
            const float* row1 = rasterRow(std::min(y0 + 1, raster.height - 1));
            const float* a = grid.centered.data() + static_cast<std::size_t>(j) * columns;
            for (int i = 0; i < columns; ++i) {
                if (!inside[i])
                    continue;
                const float fx = fractions[i];
                const int x0 = columnX0[i], x1 = columnX1[i];
                const float b = (1 - fy) * ((1 - fx) * row0[x0] + fx * row0[x1]) + fy * ((1 - fx) * row1[x0] + fx * row1[x1]);
                ++n;
                sumB += b;
                sumBB += b * b;
                sumAB += a[i] * b;
                sumA += a[i];
                sumAA += a[i] * a[i];
            }
        }
    }
    return correlationOf(n, sumB, sumBB, sumAB, sumA, sumAA, allInside, grid.energy);
}

void TrackingImage::correlations(const AppearanceGrid& grid, const NormalizedRect& rect, int offsetX,
                                 const std::vector<int>& offsetsY, double* values) const
{
    const int columns = static_cast<int>(grid.x.size());
    const int rows = static_cast<int>(grid.y.size());
    const auto one = [&](std::size_t k) { values[k] = correlation(grid, rect, offsetX, offsetsY[k]); };
    if (columns == 0 || rows == 0 || offsetsY.size() < 2) {
        for (std::size_t k = 0; k < offsetsY.size(); ++k)
            one(k);
        return;
    }
    // The same positions, table and sums as correlation(), for offsets
    // whose samples all lie inside the frame; the others go through it.
    const Level level = levelFor(grid, rect);
    const GrayRaster& raster = levels[level.index];
    const double dx = offsetX;
    const auto columnPosition = [&](int i) { return width * rect.x - 0.5 + dx + width * rect.width * grid.x[i]; };
    const auto rowPosition = [&](int j, double dy) {
        return height * rect.y - 0.5 + dy + height * rect.height * grid.y[j];
    };
    const bool columnsInside = columnPosition(0) >= -0.5 && columnPosition(columns - 1) < width - 0.5;
    const auto rowsInside = [&](double dy) {
        return rowPosition(0, dy) >= -0.5 && rowPosition(rows - 1, dy) < height - 0.5;
    };
    const double inverseScale = 1.0 / level.scale;
    const auto rasterRowOf = [&](int j, double dy) {
        return std::clamp((rowPosition(j, dy) + 0.5) * inverseScale - 0.5, 0.0, static_cast<double>(raster.height - 1));
    };

    thread_local ColumnTable table;
    table.fit(columns);
    const double lastColumn = raster.width - 1;
    for (int i = 0; i < columns; ++i) {
        const double lx = std::clamp((columnPosition(i) + 0.5) * inverseScale - 0.5, 0.0, lastColumn);
        const int x0 = static_cast<int>(lx);
        table.x0[i] = x0;
        table.x1[i] = std::min(x0 + 1, raster.width - 1);
        table.fraction[i] = static_cast<float>(lx - x0);
    }
    // The raster rows any inside offset reads, each interpolated at most once.
    int firstRow = raster.height;
    int lastRow = -1;
    for (const int dy : offsetsY)
        if (columnsInside && rowsInside(dy)) {
            firstRow = std::min(firstRow, static_cast<int>(rasterRowOf(0, dy)));
            lastRow = std::max(lastRow, std::min(static_cast<int>(rasterRowOf(rows - 1, dy)) + 1, raster.height - 1));
        }
    if (lastRow < firstRow) {
        for (std::size_t k = 0; k < offsetsY.size(); ++k)
            one(k);
        return;
    }
    thread_local std::vector<float> rowValues;
    thread_local std::vector<char> rowReady;
    const int band = lastRow - firstRow + 1;
    rowValues.resize(static_cast<std::size_t>(band) * columns);
    rowReady.assign(static_cast<std::size_t>(band), 0);
    const auto valuesOf = [&](int y) {
        float* values = rowValues.data() + static_cast<std::size_t>(y - firstRow) * columns;
        if (!rowReady[y - firstRow]) {
            interpolateColumns(raster.pixels.data() + static_cast<std::size_t>(y) * raster.width, table.x0.data(),
                               table.x1.data(), table.fraction.data(), columns, values);
            rowReady[y - firstRow] = 1;
        }
        return values;
    };
    for (std::size_t k = 0; k < offsetsY.size(); ++k) {
        const double dy = offsetsY[k];
        if (!columnsInside || !rowsInside(dy)) {
            one(k);
            continue;
        }
        float sumB = 0, sumBB = 0, sumAB = 0;
        for (int j = 0; j < rows; ++j) {
            const double ly = rasterRowOf(j, dy);
            const int y0 = static_cast<int>(ly);
            const int y1 = std::min(y0 + 1, raster.height - 1);
            const RowSums row = sumsAlongRow(valuesOf(y0), valuesOf(y1), static_cast<float>(ly - y0),
                                             grid.centered.data() + static_cast<std::size_t>(j) * columns, columns);
            sumB += row.b;
            sumBB += row.bb;
            sumAB += row.ab;
        }
        values[k] = correlationOf(rows * columns, sumB, sumBB, sumAB, 0, 0, true, grid.energy);
    }
}

std::optional<AppearanceMatch> TrackingImage::match(const AppearancePatch& patch, const NormalizedRect& near) const
{
    if (!(near.width > 0 && near.height > 0))
        return std::nullopt;
    const double sx = std::round(width * near.x) / width; // std::round: halves away from zero
    const double sy = std::round(height * near.y) / height;
    const NormalizedRect rect{sx, sy, near.width, near.height};
    const auto result = [&](const PixelMatch& found) {
        return AppearanceMatch{(sx - near.x) + found.x / width, (sy - near.y) + found.y / height, found.correlation};
    };

    const double c0 = correlation(patch.full, rect, 0, 0);
    if (c0 >= immediateCorrelation)
        return result({0, 0, c0});
    // The refinement moves at most two pixels from where it starts.
    constexpr int refinementReach = 2;
    const int radius = std::max(static_cast<int>(std::ceil(height * near.height)), 3);
    // Offsets are kept within a line height (beyond a few dozen pixels, the
    // table would outweigh what it saves).
    constexpr int largestKeptReach = 48;
    OffsetCorrelations full(*this, patch.full, rect, std::min(radius + refinementReach, largestKeptReach));
    full.remember(0, 0, c0);
    // Refined around the prediction first, which answers at once where it
    // correlates well already (refinement never lowers it). Thin strokes a
    // fraction of a pixel off the prediction correlate well below
    // refineOnlyCorrelation and are found here too, as a closer prediction
    // would have been; the wide search, which only refines around its coarse
    // survivors, can settle on a row that looks alike and correlates worse.
    if (const PixelMatch local = refined(full, 0, 0, c0); local.correlation >= refineOnlyCorrelation)
        return result(local);

    // Wide search: coarse grid on a lattice, narrowed by halving steps.
    const double gridSpacing = std::min(spacing(patch.coarse.x) * near.width * width, spacing(patch.coarse.y) * near.height * height);
    const int s0 = static_cast<int>(std::min(std::trunc(gridSpacing), std::ceil(radius / 4.0)));
    int step = std::max(s0, 1);
    OffsetCorrelations coarse(*this, patch.coarse, rect, std::min(radius, largestKeptReach));

    // Each round's offsets are worked out together first (the same values,
    // sooner), then taken in the search's own order.
    std::vector<std::pair<int, int>> wanted;
    for (int dy = -radius; dy <= radius; dy += step)
        for (int dx = -radius; dx <= radius; dx += step)
            wanted.emplace_back(dx, dy);
    wanted.emplace_back(0, 0);
    coarse.prefetch(wanted);
    std::vector<Record> kept;
    for (const auto& [dx, dy] : wanted)
        kept.push_back({dx, dy, coarse.at(dx, dy)});
    keepBest(kept);

    if (s0 >= 2) {
        int used = 0;
        do {
            used = step;
            const int half = step / 2;
            const int reach = static_cast<int>(std::ceil(static_cast<double>(step) / half));
            std::set<std::pair<int, int>> visited;
            wanted.clear();
            for (const Record& record : kept)
                for (int i = -reach; i <= reach; ++i)
                    for (int j = -reach; j <= reach; ++j) {
                        const int cx = record.x + j * half, cy = record.y + i * half;
                        if (std::abs(cx) > radius || std::abs(cy) > radius || !visited.insert({cx, cy}).second)
                            continue;
                        wanted.emplace_back(cx, cy);
                    }
            coarse.prefetch(wanted);
            std::vector<Record> next;
            for (const auto& [cx, cy] : wanted)
                next.push_back({cx, cy, coarse.at(cx, cy)});
            kept = std::move(next);
            keepBest(kept);
            step /= 2;
        } while (used > 3);
    }

    wanted.clear();
    for (const Record& record : kept)
        for (int dy = record.y - 1; dy <= record.y + 1; ++dy)
            for (int dx = record.x - 1; dx <= record.x + 1; ++dx)
                if (std::abs(dx) <= radius && std::abs(dy) <= radius)
                    wanted.emplace_back(dx, dy);
    full.prefetch(wanted);
    double best = c0;
    int bestX = 0, bestY = 0;
    for (const Record& record : kept)
        for (int dy = record.y - 1; dy <= record.y + 1; ++dy)
            for (int dx = record.x - 1; dx <= record.x + 1; ++dx) {
                if (std::abs(dx) > radius || std::abs(dy) > radius)
                    continue;
                const double c = full.at(dx, dy);
                if (c > best) {
                    best = c;
                    bestX = dx;
                    bestY = dy;
                }
            }
    if (!std::isfinite(best))
        return std::nullopt;
    return result(refined(full, bestX, bestY, best));
}

std::optional<AppearanceMatch> TrackingImage::matchVisibleParts(const AppearancePatch& patch, const NormalizedRect& near) const
{
    if (patch.full.x.size() < 12 || patch.coarse.x.size() < 6)
        return std::nullopt;
    std::vector<AppearanceMatch> kept;
    for (int p = 0; p < 3; ++p) {
        std::optional<AppearanceGrid> full = patch.full.part(p);
        std::optional<AppearanceGrid> coarse = patch.coarse.part(p);
        if (!full || !coarse)
            continue;
        const std::optional<AppearanceMatch> found = match(AppearancePatch{std::move(*full), std::move(*coarse)}, near);
        if (found && found->correlation >= visiblePartCorrelation)
            kept.push_back(*found);
    }
    std::optional<std::pair<std::size_t, std::size_t>> chosen;
    double closest = infinity;
    for (std::size_t i = 0; i < kept.size(); ++i)
        for (std::size_t j = i + 1; j < kept.size(); ++j) {
            const double apart = std::hypot((kept[i].offsetX - kept[j].offsetX) * width, (kept[i].offsetY - kept[j].offsetY) * height);
            if (apart <= visiblePartsAgreementPixels && (!chosen || apart < closest)) {
                chosen = {i, j};
                closest = apart;
            }
        }
    if (!chosen)
        return std::nullopt;
    const AppearanceMatch& a = kept[chosen->first];
    const AppearanceMatch& b = kept[chosen->second];
    return AppearanceMatch{(a.offsetX + b.offsetX) / 2, (a.offsetY + b.offsetY) / 2, std::min(a.correlation, b.correlation)};
}

NormalizedRect TrackingImage::searchBounds(const NormalizedRect& rect) const
{
    const double pad = std::max(std::ceil(height * rect.height), 3.0) + 2;
    return {rect.x - pad / width, rect.y - pad / height, rect.width + 2 * pad / width, rect.height + 2 * pad / height};
}

bool TrackingImage::sameWhereMatched(const TrackingImage& other, const NormalizedRect& rect) const
{
    if (width != other.width || height != other.height || levels.size() != other.levels.size())
        return false;
    const NormalizedRect bounds = searchBounds(rect);
    // Not a number, or frames away: nothing is compared, nothing is claimed.
    if (!std::isfinite(bounds.x) || !std::isfinite(bounds.y) || !std::isfinite(bounds.width) ||
        !std::isfinite(bounds.height) || std::abs(bounds.x) > 4 || std::abs(bounds.y) > 4 || bounds.width > 8 ||
        bounds.height > 8)
        return false;
    if (&other == this)
        return true;
    // Sampling reads the pixels round a position, and clamps to the edge.
    constexpr int beside = 3;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const GrayRaster& a = levels[k];
        const GrayRaster& b = other.levels[k];
        if (a.width != b.width || a.height != b.height)
            return false;
        if (a.width == 0 || a.height == 0)
            continue;
        const auto span = [&](double from, double extent, int size) {
            const int first = std::clamp(static_cast<int>(std::floor(from * size)) - beside, 0, size - 1);
            const int last = std::clamp(static_cast<int>(std::ceil((from + extent) * size)) + beside, first + 1, size);
            return std::pair{first, last};
        };
        const auto [x0, x1] = span(bounds.x, bounds.width, a.width);
        const auto [y0, y1] = span(bounds.y, bounds.height, a.height);
        for (int y = y0; y < y1; ++y) {
            const std::size_t at = static_cast<std::size_t>(y) * a.width + x0;
            if (std::memcmp(a.pixels.data() + at, b.pixels.data() + at, sizeof(float) * (x1 - x0)) != 0)
                return false;
        }
    }
    return true;
}

std::uint32_t TrackingImage::backgroundColor(const NormalizedRect& rect) const
{
    const double top = height * rect.y, bottom = height * (rect.y + rect.height);
    const double left = width * rect.x, right = width * (rect.x + rect.width);
    const double margin = std::max(0.15 * (bottom - top), 1.0);

    struct Bin {
        int count = 0;
        std::uint32_t red = 0, green = 0, blue = 0;
    };
    std::map<std::uint32_t, Bin> bins;
    const auto sample = [&](int x, int y) {
        const std::uint8_t* p = rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
        const std::uint32_t key = (static_cast<std::uint32_t>(p[0] >> 4) << 8) | (p[1] & 0xF0u) | (p[2] >> 4);
        Bin& bin = bins[key];
        ++bin.count;
        bin.red += p[0];
        bin.green += p[1];
        bin.blue += p[2];
    };

    const int ya = clampedIndex(top - margin, height - 1), yb = clampedIndex(bottom + margin, height - 1);
    for (int i = 0; i < 32; ++i) {
        const int xs = clampedIndex(left + (right - left) * (i + 0.5) / 32, width - 1);
        sample(xs, ya);
        sample(xs, yb);
    }
    const int xl = clampedIndex(left - margin, width - 1), xr = clampedIndex(right + margin, width - 1);
    for (int k = 0; k < 8; ++k) {
        const int ys = clampedIndex(top + (bottom - top) * (k + 0.5) / 8, height - 1);
        sample(xl, ys);
        sample(xr, ys);
    }

    // Highest count wins; among equal counts the higher key (map order ascending).
    const std::pair<const std::uint32_t, Bin>* winner = nullptr;
    for (const auto& entry : bins)
        if (!winner || entry.second.count >= winner->second.count)
            winner = &entry;
    const Bin& bin = winner->second;
    const auto count = static_cast<std::uint32_t>(bin.count);
    return (bin.red / count) << 16 | (bin.green / count) << 8 | (bin.blue / count);
}

} // namespace scrivel

#include "recognition/LineReadingCache.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace scrivel {

namespace {

constexpr std::uint64_t kMul1 = 0x87c37b91114253d5ULL;
constexpr std::uint64_t kMul2 = 0x4cf5ad432745937fULL;

constexpr std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr std::uint64_t finalMix(std::uint64_t k)
{
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

// Two 64-bit lanes over 16-byte blocks, each lane mixing in the other
// (the MurmurHash3 x64 128-bit round). The last block is zero-padded; the
// length in the finish tells padded inputs apart.
class Hash128 {
public:
    explicit Hash128(std::uint64_t seed) : h1_(seed), h2_(seed ^ 0x9e3779b97f4a7c15ULL) {}

    void block(std::uint64_t k1, std::uint64_t k2)
    {
        k1 *= kMul1;
        k1 = rotl(k1, 31);
        k1 *= kMul2;
        h1_ ^= k1;
        h1_ = rotl(h1_, 27);
        h1_ += h2_;
        h1_ = h1_ * 5 + 0x52dce729;
        k2 *= kMul2;
        k2 = rotl(k2, 33);
        k2 *= kMul1;
        h2_ ^= k2;
        h2_ = rotl(h2_, 31);
        h2_ += h1_;
        h2_ = h2_ * 5 + 0x38495ab5;
    }

    void bytes(const unsigned char* data, std::size_t size)
    {
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            std::uint64_t k[2];
            std::memcpy(k, data + i, 16);
            block(k[0], k[1]);
        }
        if (i < size) {
            std::uint64_t k[2] = {0, 0};
            std::memcpy(k, data + i, size - i);
            block(k[0], k[1]);
        }
        length_ += size;
    }

    std::pair<std::uint64_t, std::uint64_t> finish() const
    {
        std::uint64_t h1 = h1_ ^ length_;
        std::uint64_t h2 = h2_ ^ length_;
        h1 += h2;
        h2 += h1;
        h1 = finalMix(h1);
        h2 = finalMix(h2);
        h1 += h2;
        h2 += h1;
        return {h1, h2};
    }

private:
    std::uint64_t h1_;
    std::uint64_t h2_;
    std::uint64_t length_ = 0;
};

} // namespace

LineReadingCache::LineReadingCache(std::size_t capacity, std::int64_t framesKept)
    : capacity_(std::max<std::size_t>(capacity, 1)), framesKept_(std::max<std::int64_t>(framesKept, 1))
{
}

LineReadingCache::Key LineReadingCache::keyOf(const cv::Mat& linePixels)
{
    Hash128 hash(sizeKey(linePixels.cols, linePixels.rows) ^ static_cast<std::uint64_t>(linePixels.type()));
    const std::size_t rowBytes = static_cast<std::size_t>(linePixels.cols) * linePixels.elemSize();
    if (linePixels.isContinuous()) {
        hash.bytes(linePixels.ptr(0), rowBytes * static_cast<std::size_t>(linePixels.rows));
    } else {
        // Rows of a crop are not adjacent in memory: hash them as one run.
        std::vector<unsigned char> run(rowBytes * static_cast<std::size_t>(linePixels.rows));
        for (int row = 0; row < linePixels.rows; ++row)
            std::memcpy(run.data() + rowBytes * static_cast<std::size_t>(row), linePixels.ptr(row), rowBytes);
        hash.bytes(run.data(), run.size());
    }
    const auto [high, low] = hash.finish();
    return Key{high, low, linePixels.cols, linePixels.rows};
}

std::optional<LineReadingCache::Entry> LineReadingCache::find(const Key& key)
{
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found == entries_.end())
        return std::nullopt;
    found->second.lastUsed = frame_;
    return found->second.entry;
}

void LineReadingCache::insert(const Key& key, Entry entry, const cv::Mat& linePixels)
{
    const bool read = !linePixels.empty();
    const cv::Rect ink = read ? OcrEngine::inkBox(linePixels) : cv::Rect();
    std::lock_guard lock(mutex_);
    const bool added =
        entries_.insert_or_assign(key, Stored{std::move(entry), frame_, read ? linePixels.clone() : cv::Mat(), ink})
            .second;
    if (read && added) {
        readBySize_[sizeKey(key.width, key.height)].push_back(key);
        if (!ink.empty())
            readByInkSize_[sizeKey(ink.width, ink.height)].push_back(key);
    }
}

std::vector<std::pair<LineReadingCache::Key, const LineReadingCache::Stored*>> LineReadingCache::candidatesIn(
    const std::unordered_map<std::uint64_t, std::vector<Key>>& index, std::uint64_t at) const
{
    std::vector<std::pair<Key, const Stored*>> candidates;
    const auto found = index.find(at);
    if (found == index.end())
        return candidates;
    for (auto it = found->second.rbegin(); it != found->second.rend(); ++it)
        if (auto stored = entries_.find(*it); stored != entries_.end() && !stored->second.pixels.empty())
            candidates.emplace_back(*it, &stored->second);
    return candidates;
}

void LineReadingCache::nextFrame()
{
    std::lock_guard lock(mutex_);
    ++frame_;
    std::erase_if(entries_, [&](const auto& item) { return frame_ - item.second.lastUsed > framesKept_; });
    if (entries_.size() <= capacity_) {
        forgetGoneCrops();
        return;
    }
    // Still too many: keep the most recently used.
    std::vector<std::int64_t> stamps;
    stamps.reserve(entries_.size());
    for (const auto& item : entries_)
        stamps.push_back(item.second.lastUsed);
    const auto cut = stamps.begin() + static_cast<std::ptrdiff_t>(entries_.size() - capacity_);
    std::nth_element(stamps.begin(), cut, stamps.end());
    const std::int64_t oldestKept = *cut;
    std::erase_if(entries_, [&](const auto& item) { return item.second.lastUsed < oldestKept; });
    for (auto it = entries_.begin(); entries_.size() > capacity_ && it != entries_.end();)
        it = it->second.lastUsed == oldestKept ? entries_.erase(it) : std::next(it);
    forgetGoneCrops();
}

void LineReadingCache::forgetGoneCrops()
{
    for (auto* index : {&readBySize_, &readByInkSize_}) {
        for (auto it = index->begin(); it != index->end();) {
            std::erase_if(it->second, [&](const Key& key) { return !entries_.contains(key); });
            it = it->second.empty() ? index->erase(it) : std::next(it);
        }
    }
}

std::size_t LineReadingCache::size() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace scrivel

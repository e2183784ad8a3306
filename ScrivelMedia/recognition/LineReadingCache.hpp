#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "recognition/OcrEngine.hpp"

namespace scrivel {

// Readings of line crops, keyed by the crops' exact pixels, so that a line
// whose pixels did not change (a static line, or one moved by whole pixels)
// is read once. A reading depends on nothing but those pixels, which makes a
// hit exactly what reading the line again would give. Crops that were read
// are kept too, for findSimilar(): lossy video seldom repeats a line's
// pixels exactly. Safe to use from several threads at once.
class LineReadingCache {
public:
    // A 128-bit hash of the pixel bytes with the crop's size: two crops with
    // the same key are taken to be the same pixels.
    struct Key {
        std::uint64_t high = 0;
        std::uint64_t low = 0;
        int width = 0;
        int height = 0;
        bool operator==(const Key&) const = default;
    };

    // A crop read as nothing is cached too (an empty reading).
    using Entry = std::optional<OcrEngine::LineReading>;

    // Keeps readings used within the last `framesKept` frames (see
    // nextFrame()), and at most `capacity` of them.
    explicit LineReadingCache(std::size_t capacity = 8192, std::int64_t framesKept = 90);

    static Key keyOf(const cv::Mat& linePixels);

    // The cached reading of `key`, if there is one; marks it used.
    std::optional<Entry> find(const Key& key);
    // The reading of a crop that was read, of the same size as `linePixels`
    // and the same picture by `same(linePixels, readPixels)`; marks it used.
    // The most recently read crops are tried first.
    template <typename Same>
    std::optional<Entry> findSimilar(const cv::Mat& linePixels, Same same);
    // The reading of a crop that was read and shows the same ink as
    // `linePixels` with other edges round it: `move(readPixels, entry,
    // inkOffset)` decides, given where the ink of `linePixels` stands from
    // where it stood in the crop read, and gives the reading to take or
    // none. Crops whose ink boxes are of one size are tried, the most
    // recently read first. Marks the one taken used.
    template <typename Move>
    std::optional<Entry> findMoved(const cv::Mat& linePixels, Move move);
    // `linePixels`: the crop that was read, kept for findSimilar() and
    // findMoved(); none when the reading was not made on these pixels.
    void insert(const Key& key, Entry entry, const cv::Mat& linePixels = {});
    // Starts a new frame and forgets readings unused for too long.
    void nextFrame();

    std::size_t size() const;

private:
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept { return static_cast<std::size_t>(key.low); }
    };
    struct Stored {
        Entry entry;
        std::int64_t lastUsed = 0;
        cv::Mat pixels; // the crop read, or none
        cv::Rect ink;   // the box of its ink (OcrEngine::inkBox)
    };
    static std::uint64_t sizeKey(int width, int height)
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(width)) << 32) |
               static_cast<std::uint32_t>(height);
    }
    // The kept crops filed in `index` under `at`, most recently read first
    // (mutex_ held).
    std::vector<std::pair<Key, const Stored*>> candidatesIn(
        const std::unordered_map<std::uint64_t, std::vector<Key>>& index, std::uint64_t at) const;
    // Drops from both indexes the keys gone from entries_ (mutex_ held).
    void forgetGoneCrops();

    const std::size_t capacity_;
    const std::int64_t framesKept_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, Stored, KeyHash> entries_; // guarded by mutex_
    // The read crops' keys by size, oldest first (some may be gone from
    // entries_ until nextFrame()); guarded by mutex_.
    std::unordered_map<std::uint64_t, std::vector<Key>> readBySize_;
    // The same keys by the size of their ink boxes.
    std::unordered_map<std::uint64_t, std::vector<Key>> readByInkSize_;
    std::int64_t frame_ = 0; // guarded by mutex_
};

template <typename Same>
std::optional<LineReadingCache::Entry> LineReadingCache::findSimilar(const cv::Mat& linePixels, Same same)
{
    // Compared outside the lock: the kept crops are never written again.
    std::vector<std::pair<Key, cv::Mat>> candidates;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, stored] : candidatesIn(readBySize_, sizeKey(linePixels.cols, linePixels.rows)))
            candidates.emplace_back(key, stored->pixels);
    }
    for (const auto& [key, pixels] : candidates)
        if (pixels.type() == linePixels.type() && same(linePixels, pixels))
            if (auto entry = find(key))
                return entry;
    return std::nullopt;
}

template <typename Move>
std::optional<LineReadingCache::Entry> LineReadingCache::findMoved(const cv::Mat& linePixels, Move move)
{
    const cv::Rect ink = OcrEngine::inkBox(linePixels);
    if (ink.empty())
        return std::nullopt;
    struct Candidate {
        Key key;
        cv::Mat pixels;
        cv::Rect ink;
        Entry entry;
    };
    std::vector<Candidate> candidates;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, stored] : candidatesIn(readByInkSize_, sizeKey(ink.width, ink.height)))
            candidates.push_back({key, stored->pixels, stored->ink, stored->entry});
    }
    for (const Candidate& candidate : candidates) {
        if (candidate.pixels.type() != linePixels.type())
            continue;
        if (auto entry = move(candidate.pixels, candidate.entry, ink.tl() - candidate.ink.tl())) {
            find(candidate.key);
            return entry;
        }
    }
    return std::nullopt;
}

} // namespace scrivel

#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <opencv2/core.hpp>

#include "ScrivelMedia/OcrEngine.hpp"

namespace scrivel {

// Readings of line crops, keyed by the crops' exact pixels, so that a line
// whose pixels did not change (a static line, or one moved by whole pixels)
// is read once. A reading depends on nothing but those pixels, which makes a
// hit exactly what reading the line again would give. Safe to use from
// several threads at once.
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
    void insert(const Key& key, Entry entry);
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
    };

    const std::size_t capacity_;
    const std::int64_t framesKept_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, Stored, KeyHash> entries_; // guarded by mutex_
    std::int64_t frame_ = 0;                            // guarded by mutex_
};

} // namespace scrivel

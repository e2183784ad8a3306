#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <vector>

#include "decode/Image.hpp"

namespace scrivel {

// Every frame of a recording as the tracker sees it, kept while the scan
// decodes the video so that the tracker never decodes it again: the frame
// scaled to the tracking size, once per picture. A frame that differs from
// the latest kept picture's frame by no more than coding noise is taken as
// that picture, as incremental recognition takes it; runs of such frames
// cost one entry each.
//
// Pictures are kept compressed (lossless), in memory up to a budget and
// after that in a file in the temporary folder. The file is unlinked as
// soon as it is opened, so nothing is left behind however the scan ends.
// Used by one thread at a time.
class TrackingFrames {
public:
    // The tracking size: the larger side of every kept picture, at most.
    static constexpr int dimensionPixels = 960;
    static constexpr std::size_t defaultMemoryBudgetBytes = std::size_t{64} << 20;

    explicit TrackingFrames(std::size_t memoryBudgetBytes = defaultMemoryBudgetBytes,
                            std::filesystem::path spillFolder = {});
    ~TrackingFrames();
    TrackingFrames(TrackingFrames&&) noexcept;
    TrackingFrames& operator=(TrackingFrames&&) noexcept;

    // Keeps the next frame, shown at `time` seconds. `raster` gives `frame` scaled to the tracking
    // size (VideoFrames::raster), asked only when the frame shows a new
    // picture; `repeatsPrevious`: `frame` holds the same bytes as the frame
    // added before it, which settles the comparison at no cost. Throws
    // PlatformError when the spill file cannot be written.
    void add(double time, const Image& frame, const std::function<Image()>& raster, bool repeatsPrevious);

    // Decodes `videoPath` and keeps every frame, for callers that did not
    // keep them while scanning.
    static TrackingFrames decode(const std::filesystem::path& videoPath, std::stop_token stop = {},
                                 std::size_t memoryBudgetBytes = defaultMemoryBudgetBytes);

    std::size_t frameCount() const { return pictureOfFrame_.size(); }
    std::size_t pictureCount() const { return pictures_.size(); }
    // The picture frame `frame` shows; frames showing one picture are consecutive.
    std::size_t pictureOf(std::size_t frame) const { return pictureOfFrame_.at(frame); }
    double timeOf(std::size_t frame) const { return timeOfFrame_.at(frame); }
    // The size of the frames themselves (the latest added), before scaling.
    cv::Size frameSize() const { return frameSize_; }
    // Picture `index` as it was added, byte for byte. Throws PlatformError
    // when the spill file cannot be read back.
    Image picture(std::size_t index) const;

    std::size_t bytesInMemory() const { return bytesInMemory_; }
    std::size_t bytesSpilled() const { return bytesSpilled_; }

private:
    struct Picture {
        int width = 0;
        int height = 0;
        std::size_t size = 0;       // compressed bytes
        std::int64_t offset = -1;   // in the spill file, or -1: in memory
        std::vector<std::uint8_t> bytes; // in memory
    };
    struct Compression;
    class SpillFile;

    std::size_t memoryBudgetBytes_;
    std::filesystem::path spillFolder_;
    std::vector<Picture> pictures_;
    std::vector<std::size_t> pictureOfFrame_;
    std::vector<double> timeOfFrame_;
    Image anchor_; // the frame the latest picture was made from
    cv::Size frameSize_;
    std::size_t bytesInMemory_ = 0;
    std::size_t bytesSpilled_ = 0;
    std::unique_ptr<Compression> compression_;
    std::unique_ptr<SpillFile> spillFile_; // opened with the first picture past the budget
};

} // namespace scrivel

#include "tracking/TrackingFrames.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include "ScrivelCore/Errors.hpp"
#include "recognition/IncrementalRecognizer.hpp"
#include "scan/StageProfile.hpp"
#include "decode/VideoFrames.hpp"

namespace scrivel {

namespace {

// Screen pictures compress well at the fastest level; higher ones cost more
// time than the bytes they save are worth here.
constexpr int compressionLevel = 1;

[[noreturn]] void throwFileError(const std::string& what, const std::filesystem::path& path, int error)
{
    throw PlatformError("Scrivel could not " + what + " the frames kept for tracking (" + path.string() +
                        "): " + std::strerror(error));
}

} // namespace

struct TrackingFrames::Compression {
    struct FreeCompressor {
        void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
    };
    struct FreeDecompressor {
        void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
    };
    std::unique_ptr<ZSTD_CCtx, FreeCompressor> compressor{ZSTD_createCCtx()};
    std::unique_ptr<ZSTD_DCtx, FreeDecompressor> decompressor{ZSTD_createDCtx()};
};

// An anonymous file in the spill folder: unlinked once created, closed with
// its owner.
class TrackingFrames::SpillFile {
public:
    explicit SpillFile(std::filesystem::path folder) : folder_(std::move(folder))
    {
        std::string name = (folder_ / "scrivel-tracking-XXXXXX").string();
        descriptor_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (descriptor_ < 0)
            throwFileError("create a file for", folder_, errno);
        ::unlink(name.c_str());
    }
    ~SpillFile() { ::close(descriptor_); }
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    std::int64_t append(const std::vector<std::uint8_t>& bytes)
    {
        const std::int64_t offset = end_;
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::pwrite(descriptor_, bytes.data() + written, bytes.size() - written,
                                       static_cast<off_t>(end_ + static_cast<std::int64_t>(written)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throwFileError("write", folder_, n < 0 ? errno : ENOSPC);
            written += static_cast<std::size_t>(n);
        }
        end_ += static_cast<std::int64_t>(bytes.size());
        return offset;
    }

    void read(std::int64_t offset, std::vector<std::uint8_t>& bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pread(descriptor_, bytes.data() + done, bytes.size() - done,
                                      static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throwFileError("read back", folder_, n < 0 ? errno : EIO);
            done += static_cast<std::size_t>(n);
        }
    }

private:
    std::filesystem::path folder_;
    int descriptor_ = -1;
    std::int64_t end_ = 0;
};

TrackingFrames::TrackingFrames(std::size_t memoryBudgetBytes, std::filesystem::path spillFolder)
    : memoryBudgetBytes_(memoryBudgetBytes), spillFolder_(std::move(spillFolder)),
      compression_(std::make_unique<Compression>())
{
    if (!compression_->compressor || !compression_->decompressor)
        throw std::bad_alloc();
}

TrackingFrames::~TrackingFrames() = default;
TrackingFrames::TrackingFrames(TrackingFrames&&) noexcept = default;
TrackingFrames& TrackingFrames::operator=(TrackingFrames&&) noexcept = default;

void TrackingFrames::add(double time, const Image& frame, const std::function<Image()>& scaled, bool repeatsPrevious)
{
    const StageProfile::Scope keeping(ScanStage::keepingFrames);
    frameSize_ = frame.pixels.size();
    if (!pictures_.empty() && (repeatsPrevious || IncrementalRecognizer::sameWithinNoise(frame.pixels, anchor_.pixels))) {
        pictureOfFrame_.push_back(pictures_.size() - 1);
        timeOfFrame_.push_back(time);
        return;
    }
    const Image raster = scaled();
    if (raster.empty() || raster.pixels.type() != CV_8UC3)
        throw VideoScanError::frameConversionFailed();
    const cv::Mat pixels = raster.pixels.isContinuous() ? raster.pixels : raster.pixels.clone();
    const std::size_t rawSize = pixels.total() * pixels.elemSize();
    std::vector<std::uint8_t> bytes(ZSTD_compressBound(rawSize));
    const std::size_t size = ZSTD_compressCCtx(compression_->compressor.get(), bytes.data(), bytes.size(),
                                               pixels.data, rawSize, compressionLevel);
    if (ZSTD_isError(size))
        throw std::bad_alloc(); // the bound above leaves no other failure
    bytes.resize(size);

    Picture picture{pixels.cols, pixels.rows, size, -1, {}};
    if (bytesInMemory_ + size <= memoryBudgetBytes_) {
        bytes.shrink_to_fit();
        picture.bytes = std::move(bytes);
        bytesInMemory_ += size;
    } else {
        if (!spillFile_)
            spillFile_ = std::make_unique<SpillFile>(spillFolder_.empty() ? std::filesystem::temp_directory_path()
                                                                          : spillFolder_);
        picture.offset = spillFile_->append(bytes);
        bytesSpilled_ += size;
    }
    pictures_.push_back(std::move(picture));
    pictureOfFrame_.push_back(pictures_.size() - 1);
    timeOfFrame_.push_back(time);
    anchor_ = frame;
}

Image TrackingFrames::picture(std::size_t index) const
{
    const StageProfile::Scope keeping(ScanStage::keepingFrames);
    const Picture& picture = pictures_.at(index);
    std::vector<std::uint8_t> spilled;
    if (picture.offset >= 0) {
        spilled.resize(picture.size);
        spillFile_->read(picture.offset, spilled);
    }
    const std::uint8_t* bytes = picture.offset >= 0 ? spilled.data() : picture.bytes.data();
    cv::Mat pixels(picture.height, picture.width, CV_8UC3);
    const std::size_t rawSize = pixels.total() * pixels.elemSize();
    const std::size_t size =
        ZSTD_decompressDCtx(compression_->decompressor.get(), pixels.data, rawSize, bytes, picture.size);
    if (ZSTD_isError(size) || size != rawSize)
        throwFileError("read back", spillFolder_.empty() ? std::filesystem::temp_directory_path() : spillFolder_, EIO);
    return Image(std::move(pixels));
}

TrackingFrames TrackingFrames::decode(const std::filesystem::path& videoPath, std::stop_token stop,
                                      std::size_t memoryBudgetBytes)
{
    TrackingFrames kept(memoryBudgetBytes);
    VideoFrames frames(videoPath);
    Image previous;
    for (;;) {
        std::optional<std::pair<double, Image>> decoded;
        {
            const StageProfile::Scope decoding(ScanStage::decodingTracking);
            decoded = frames.next(stop);
        }
        if (!decoded)
            break;
        const Image& frame = decoded->second;
        const bool repeats = !previous.empty() && sameBytes(frame, previous);
        kept.add(decoded->first, frame, [&] {
            const StageProfile::Scope scaling(ScanStage::scaling);
            return VideoFrames::raster(frame, dimensionPixels);
        }, repeats);
        previous = frame;
    }
    return kept;
}

} // namespace scrivel

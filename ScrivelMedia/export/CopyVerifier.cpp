#include "export/CopyVerifier.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/md5.h>
}

#include "ScrivelCore/Errors.hpp"
#include "decode/FfmpegHandles.hpp"
#include "decode/MediaInspector.hpp"
#include "decode/MediaSource.hpp"
#include "scan/VideoScanner.hpp"

namespace scrivel {

namespace {

constexpr const char* kReadingMessage = "Reading the copy's text";
constexpr const char* kComparingMessage = "Comparing with the original";
// The share of the progress bar the reading takes; the comparison reads
// packets only and is quick.
constexpr double kReadingShare = 0.97;

// One packet as the comparison needs it: when, how long, and a digest of
// its bytes, so a long recording's audio is never held in memory.
struct PacketPrint {
    double time = 0;
    int size = 0;
    std::array<std::uint8_t, 16> digest{};

    bool operator==(const PacketPrint&) const = default;
};

struct AudioTrack {
    AVCodecID codec = AV_CODEC_ID_NONE;
    double tickSeconds = 0;
    std::vector<PacketPrint> packets;
};

// What the comparison reads of one file: its frames' presentation times
// and its audio streams' packets, in stream order.
struct ContainerPrint {
    std::vector<double> frameTimes;
    double frameTickSeconds = 0;
    std::vector<AudioTrack> audio;
};

double packetTime(const AVPacket& packet, AVRational timeBase)
{
    const std::int64_t stamp = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    return stamp == AV_NOPTS_VALUE ? std::nan("") : static_cast<double>(stamp) * av_q2d(timeBase);
}

ContainerPrint readContainer(const std::filesystem::path& url, std::stop_token stop)
{
    const InputFormatContext format = openMediaFile(url, ScrivelError::noVideoTrack());
    const int videoIndex = firstVideoStream(*format);
    if (videoIndex < 0)
        throw ScrivelError::noVideoTrack();
    ContainerPrint print;
    print.frameTickSeconds = av_q2d(format->streams[videoIndex]->time_base);
    // Stream index → its place in print.audio.
    std::vector<int> audioSlot(format->nb_streams, -1);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream& stream = *format->streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            audioSlot[i] = static_cast<int>(print.audio.size());
            print.audio.push_back({stream.codecpar->codec_id, av_q2d(stream.time_base), {}});
        } else if (static_cast<int>(i) != videoIndex) {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    const Packet packet = makePacket();
    std::int64_t read = 0;
    for (;;) {
        if ((++read & 0xFF) == 0 && stop.stop_requested())
            throw OperationCancelled();
        const int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF)
            break;
        if (status < 0) {
            if (isSystemError(status))
                throwIfError(status, url.c_str());
            throw VideoScanError::decodeFailed();
        }
        const AVStream& stream = *format->streams[packet->stream_index];
        if (packet->stream_index == videoIndex) {
            print.frameTimes.push_back(packetTime(*packet, stream.time_base));
        } else if (const int slot = audioSlot[packet->stream_index]; slot >= 0) {
            PacketPrint entry{packetTime(*packet, stream.time_base), packet->size, {}};
            av_md5_sum(entry.digest.data(), packet->data, packet->size);
            print.audio[slot].packets.push_back(entry);
        }
        av_packet_unref(packet.get());
    }
    // Packets come in decoding order; frames are shown in time order.
    std::sort(print.frameTimes.begin(), print.frameTimes.end());
    return print;
}

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", value);
    return text;
}

std::string plural(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool sameTime(double a, double b, double tolerance)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) == std::isnan(b);
    return std::abs(a - b) <= tolerance;
}

void compareFrames(const ContainerPrint& original, const ContainerPrint& copy, CopyCheck& check)
{
    if (original.frameTimes.size() != copy.frameTimes.size()) {
        check.differences.push_back("The copy has " + plural(copy.frameTimes.size(), "frame", "frames") +
                                    "; the original has " + std::to_string(original.frameTimes.size()) + ".");
        return;
    }
    // Both files count time in ticks of their own; a frame keeps its time
    // when it lands within one tick of either.
    const double tolerance = std::max({1e-3, original.frameTickSeconds, copy.frameTickSeconds});
    std::size_t moved = 0;
    std::optional<std::size_t> first;
    for (std::size_t i = 0; i < original.frameTimes.size(); ++i) {
        if (sameTime(original.frameTimes[i], copy.frameTimes[i], tolerance))
            continue;
        ++moved;
        if (!first)
            first = i;
    }
    if (first)
        check.differences.push_back(plural(moved, "frame of the copy is", "frames of the copy are") +
                                    " shown at another time than in the original; the first, frame " +
                                    std::to_string(*first + 1) + ", at " + seconds(copy.frameTimes[*first]) +
                                    " instead of " + seconds(original.frameTimes[*first]) + ".");
}

// Whether the exporter can copy this codec's packets into an MP4 unchanged.
bool mp4Carries(AVCodecID codec)
{
    const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
    return mp4 && avformat_query_codec(mp4, codec, FF_COMPLIANCE_NORMAL) == 1;
}

void compareAudio(const ContainerPrint& original, const ContainerPrint& copy, CopyCheck& check)
{
    if (original.audio.size() != copy.audio.size()) {
        check.differences.push_back("The copy has " + plural(copy.audio.size(), "audio stream", "audio streams") +
                                    "; the original has " + std::to_string(original.audio.size()) + ".");
        return;
    }
    for (std::size_t s = 0; s < original.audio.size(); ++s) {
        const AudioTrack& from = original.audio[s];
        const AudioTrack& to = copy.audio[s];
        const std::string name = "Audio stream " + std::to_string(s + 1);
        if (!mp4Carries(from.codec)) {
            if (to.codec == AV_CODEC_ID_AAC)
                check.notes.push_back(name + " (" + avcodec_get_name(from.codec) +
                                      ") cannot be stored in MP4 as it is; the copy carries it re-encoded to AAC, "
                                      "so its packets were not compared.");
            else
                check.differences.push_back(name + " of the copy is " + avcodec_get_name(to.codec) +
                                            "; AAC was expected in place of the original's " +
                                            avcodec_get_name(from.codec) + ".");
            continue;
        }
        if (from.codec != to.codec) {
            check.differences.push_back(name + " of the copy is " + avcodec_get_name(to.codec) +
                                        "; the original's is " + avcodec_get_name(from.codec) + ".");
            continue;
        }
        if (from.packets.size() != to.packets.size()) {
            check.differences.push_back(name + " of the copy has " +
                                        plural(to.packets.size(), "packet", "packets") + "; the original's has " +
                                        std::to_string(from.packets.size()) + ".");
            continue;
        }
        const double tolerance = std::max({1e-3, from.tickSeconds, to.tickSeconds});
        std::size_t changed = 0;
        for (std::size_t i = 0; i < from.packets.size(); ++i) {
            const PacketPrint& a = from.packets[i];
            const PacketPrint& b = to.packets[i];
            if (a.size != b.size || a.digest != b.digest || !sameTime(a.time, b.time, tolerance))
                ++changed;
        }
        if (changed > 0)
            check.differences.push_back(name + " of the copy differs from the original's: " +
                                        plural(changed, "packet of ", "packets of ") +
                                        std::to_string(from.packets.size()) + " are not the same.");
    }
}

// The copy's readings report their own phase under the verifier's names.
ScanProgressCallback readingProgress(const ScanProgressCallback& progress)
{
    if (!progress)
        return {};
    return [progress](const ScanProgress& p) {
        progress(ScanProgress{p.progress * kReadingShare, p.processed, p.total, p.regions, kReadingMessage});
    };
}

} // namespace

CopyVerifier::CopyVerifier()
    : CopyVerifier([](const std::filesystem::path& video, const ScanSettings& settings,
                      const ScanProgressCallback& progress, std::stop_token stop) {
          // Every frame read on its own: reusing an earlier frame's reading
          // could hide the very change a redaction made.
          // No tracker: the copy's own readings are the check.
          const VideoScanner scanner(VideoScanner::productRecognizer(), VideoScanner::Tracker(),
                                     VideoScanner::frameThreadsFor(VideoScanner::defaultProcessorCount()));
          return scanner.scan(video, settings, progress, stop);
      })
{
}

CopyVerifier::CopyVerifier(FrameReader reader) : reader_(std::move(reader)) {}

std::vector<ReadableText> CopyVerifier::readableText(const ScanResult& readings)
{
    std::vector<ReadableText> readable;
    for (std::size_t frame = 0; frame < readings.samples.size(); ++frame) {
        const DetectionSample& sample = readings.samples[frame];
        const std::size_t firstOfFrame = readable.size();
        for (const DetectedRegion& region : sample.regions) {
            const std::vector<NormalizedRect> boxes = region.maskRects();
            for (std::size_t i = 0; i < region.selections.size(); ++i) {
                const TextSelection& span = region.selections[i];
                readable.push_back({static_cast<std::int64_t>(frame), sample.time, span.kind, span.text, region.text,
                                    boxes[i], region.confidence});
            }
        }
        std::stable_sort(readable.begin() + static_cast<std::ptrdiff_t>(firstOfFrame), readable.end(),
                         [](const ReadableText& a, const ReadableText& b) { return a.box.y < b.box.y; });
    }
    return readable;
}

void CopyVerifier::compareContainers(const std::filesystem::path& original, const std::filesystem::path& copy,
                                     CopyCheck& check, std::stop_token stop)
{
    const VideoInfo originalInfo = MediaInspector::inspect(original);
    const VideoInfo copyInfo = MediaInspector::inspect(copy);
    check.frameWidth = copyInfo.width;
    check.frameHeight = copyInfo.height;
    if (originalInfo.width != copyInfo.width || originalInfo.height != copyInfo.height)
        check.differences.push_back("The copy is shown at " + std::to_string(copyInfo.width) + " × " +
                                    std::to_string(copyInfo.height) + "; the original at " +
                                    std::to_string(originalInfo.width) + " × " + std::to_string(originalInfo.height) +
                                    ".");
    const ContainerPrint originalPrint = readContainer(original, stop);
    const ContainerPrint copyPrint = readContainer(copy, stop);
    compareFrames(originalPrint, copyPrint, check);
    compareAudio(originalPrint, copyPrint, check);
}

CopyCheck CopyVerifier::check(const std::filesystem::path& original, const std::filesystem::path& copy,
                              const ScanSettings& settings, const ScanProgressCallback& progress,
                              std::stop_token stop) const
{
    // The original is probed first: a check against a file that is not a
    // video should fail before the long reading of the copy.
    MediaInspector::inspect(original);
    const ScanResult readings = reader_(copy, settings, readingProgress(progress), stop);
    if (stop.stop_requested())
        throw OperationCancelled();
    CopyCheck check;
    check.framesRead = readings.sampleCount;
    check.readable = readableText(readings);
    if (progress)
        progress(ScanProgress{kReadingShare, readings.sampleCount, readings.sampleCount,
                              static_cast<std::int64_t>(check.readable.size()), kComparingMessage});
    compareContainers(original, copy, check, stop);
    if (progress)
        progress(ScanProgress{1.0, readings.sampleCount, readings.sampleCount,
                              static_cast<std::int64_t>(check.readable.size()), kComparingMessage});
    return check;
}

} // namespace scrivel

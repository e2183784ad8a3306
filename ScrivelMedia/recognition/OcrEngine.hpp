#pragma once

// recognition/: text found and read in one frame. OcrEngine runs the
// detection and recognition networks; TextRecognizer turns its lines into
// regions to hide; IncrementalRecognizer reads only what changed since the
// frame before.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "decode/Image.hpp"
#include "recognition/TextObservation.hpp"

namespace scrivel {

// One line found and read by the OCR engine.
class OcrLine final : public TextObservation {
public:
    // Horizontal extent of one character of the reading, normalised x.
    struct CharacterSpan {
        double left = 0;
        double right = 0;
        bool whitespace = false;

        bool operator==(const CharacterSpan&) const = default;
    };

    OcrLine(RecognizedText reading, ObservationBox box, std::vector<CharacterSpan> characters,
            double marginWidth);

    std::uint64_t identity() const override { return identity_; }
    ObservationBox boundingBox() const override { return box_; }
    std::optional<RecognizedText> topCandidate() const override { return reading_; }
    std::optional<ObservationBox> boundingBox(TextMatcher::CharacterRange range) const override;

    const RecognizedText& reading() const { return reading_; }
    const std::vector<CharacterSpan>& characters() const { return characters_; }
    double marginWidth() const { return marginWidth_; }

private:
    std::uint64_t identity_;
    RecognizedText reading_;
    ObservationBox box_;
    std::vector<CharacterSpan> characters_; // one per grapheme cluster of the reading
    double marginWidth_;                    // normalised x added on each side of a range box
};

// Text detection and recognition with the PP-OCRv4 models on OpenCV's dnn
// module. Holds the loaded networks; recognize() may run on several threads
// at once (each call leases its own network instances from a pool).
class OcrEngine {
public:
    struct Options {
        // Detection runs on the raster it is given, at that size; a value
        // here scales a larger raster down to this long side first.
        std::optional<int> detectionLongSidePixels;
    };

    // Fixes the number of OpenCV's own worker threads for the whole process:
    // one per processor, at most 4. OpenCV tears its thread pool down to
    // change that number, which crashes any of its loops running on another
    // thread at the time (registration runs beside recognition), so it is set
    // once, before other work starts, and never changed: the app and the
    // command line call this first thing, and an engine calls it too.
    static void settleOpenCvThreads();

    // A found line before recognition, in pixels of the detection raster.
    struct DetectedBox {
        cv::Rect rect;
        float score = 0;
    };

    // What reading a line gives that depends only on the line's pixels: the
    // same pixels anywhere in any frame read the same, so a reading can be
    // kept and placed again wherever those pixels reappear.
    struct LineReading {
        // A character's extent in columns of the line scaled to the
        // recognition height.
        struct Columns {
            double left = 0;
            double right = 0;
            bool whitespace = false;
            bool operator==(const Columns&) const = default;
        };
        RecognizedText reading;
        std::vector<Columns> characters; // one per grapheme cluster of the reading
        int scaledWidth = 1;

        bool operator==(const LineReading&) const = default;
    };

    explicit OcrEngine(const std::filesystem::path& modelFolder);
    OcrEngine(const std::filesystem::path& modelFolder, Options options);
    ~OcrEngine();
    OcrEngine(const OcrEngine&) = delete;
    OcrEngine& operator=(const OcrEngine&) = delete;

    // Folders searched for det.onnx, rec.onnx and keys.txt, in order:
    // $SCRIVEL_MODEL_DIR, <executable dir>/models,
    // <executable dir>/../share/scrivel/models, the source tree's models.
    static std::vector<std::filesystem::path> modelSearchPath();
    // The first folder of the search path holding all three files; throws
    // PlatformError naming every folder searched when none does.
    static std::filesystem::path locateModels();
    static std::filesystem::path locateModels(const std::vector<std::filesystem::path>& folders);
    // A process-wide engine on the located models, loaded on first use.
    static std::shared_ptr<const OcrEngine> shared();

    // Finds and reads the lines of `raster`, in reading order. Character
    // crops come from `fullResolution` when given (the same picture at a
    // larger size), which reads small text better. Throws PlatformError when
    // OpenCV fails.
    std::vector<OcrLine> recognize(const Image& raster, const Image* fullResolution = nullptr) const;

    // The two halves of recognize(), for measuring them apart.
    std::vector<DetectedBox> detect(const Image& raster) const;
    std::optional<OcrLine> readLine(const cv::Mat& frame, cv::Rect line) const;

    // readLine() in two steps, for callers that reuse readings of unchanged
    // lines: readLine(frame, line) is placeLine(*readLinePixels(frame(line)),
    // line, frame), or none when readLinePixels gives none.
    std::optional<LineReading> readLinePixels(const cv::Mat& linePixels) const;
    // The line's box is `line` made larger where the line's ink in `frame`
    // runs on past its edges (detection boxes cut the tops of tall glyphs),
    // by at most a quarter of its height, and never into the box of one of
    // `neighbours` (the frame's other lines; `line` itself may be among
    // them); the characters stand on the columns of `line` either way.
    static OcrLine placeLine(const LineReading& reading, cv::Rect line, const cv::Mat& frame,
                             std::span<const cv::Rect> neighbours = {});
    // With the box `line` itself.
    static OcrLine placeLine(const LineReading& reading, cv::Rect line, cv::Size frameSize);

    // Indices of `lines` (crops of `frame`) in the order to read them:
    // narrowest network input first. A net reading lines of one padded width
    // after another keeps its layers' shapes; a change of width makes it
    // rebuild them, which costs as much as reading a short line.
    static std::vector<std::size_t> byScaledWidth(const cv::Mat& frame, const std::vector<cv::Rect>& lines);
    // The width of the network input readLinePixels() makes of these pixels.
    static int paddedInputWidth(const cv::Mat& linePixels);
    // The box of a crop's ink (pixels far from its median grey), which
    // readLinePixels() reads with a margin of rows; empty when there is none.
    static cv::Rect inkBox(const cv::Mat& linePixels);
    // The reading of `linePixels` from that of `readPixels`, when the two
    // crops show one picture with other plain edges round it (detection boxes
    // of one line a pixel or two apart), its ink standing at `inkOffset` in
    // `linePixels` from where it stands in `readPixels`. The network then
    // sees the same rows at the same scale, moved along the line: the
    // characters move with the ink. Nothing when the rows read round the ink
    // differ (a box cutting into the margin), which changes the scale.
    static std::optional<LineReading> movedReading(const LineReading& reading, const cv::Mat& readPixels,
                                                   const cv::Mat& linePixels, cv::Point inkOffset);
    // Whether movedReading() gives a reading for these crops: the rows read
    // round the ink are the same.
    static bool readAtOneScale(const cv::Mat& readPixels, const cv::Mat& linePixels, cv::Point inkOffset);

    // The detection half of recognize(): the lines of `raster` as crops of
    // the frame they are read from (`frameSize` pixels, the raster's own size
    // when equal), in reading order, too-short lines dropped. With `window`
    // (raster pixels), detection looks only at that part of the raster.
    std::vector<cv::Rect> findLines(const Image& raster, cv::Size frameSize,
                                    std::optional<cv::Rect> window = std::nullopt) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace scrivel

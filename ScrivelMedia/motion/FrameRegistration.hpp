#pragma once

// motion/: how the picture moved between frames. FrameRegistration maps
// each frame onto its scene's anchor; SceneBoundaryDetector says where a
// new scene starts.

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include <opencv2/core.hpp>

#include "ScrivelCore/MotionTransform.hpp"
#include "ScrivelCore/ScanRecords.hpp"
#include "decode/Image.hpp"

namespace scrivel {

// Estimates, for each frame of a scan, how the picture has scrolled and
// zoomed since the start of its tracking scene, and numbers tracking scenes
// of its own: a new one starts with every new input scene and after nine
// frames that could not be registered. One per scan, driven by one thread
// strictly in frame order.
class FrameRegistration {
public:
    struct Result {
        std::optional<MotionTransform> motion; // absent when the frame was not measured
        std::int64_t sceneID = 0;              // the tracking scene
        bool operator==(const Result&) const = default;
    };

    // One pairwise measurement: the motion from the reference frame into the
    // current one (normalised top-left units) and the mean residual of the
    // nine-point fit in working pixels.
    struct Measurement {
        MotionTransform motion;
        double fitError = 0;
    };

    // A working-size frame with what registration needs from it, computed
    // once per frame and shared by the keyframes that keep it.
    class Prepared;

    FrameRegistration();
    ~FrameRegistration();
    FrameRegistration(FrameRegistration&&) noexcept;
    FrameRegistration& operator=(FrameRegistration&&) noexcept;

    // Throws OperationCancelled, or VideoScanError::frameConversionFailed when
    // a frame larger than 960 pixels cannot be scaled down; an unregistrable
    // frame is an absent motion, never an error.
    Result observe(const Image& frame, std::int64_t sceneID, std::stop_token stop = {});

    // Fills gaps of at most 0.15 s between two measurements of one scene,
    // geometric in scale and linear in translation. Equal lengths are a
    // precondition (aborts otherwise).
    static std::vector<std::optional<MotionTransform>> resolved(
        const std::vector<std::optional<MotionTransform>>& measurements, const std::vector<DetectionSample>& samples);

    // max(|Δtx| / 0.025, |Δty| / 0.025, |ln Δs| / 0.045) of `to` relative to `from`.
    static double distance(const MotionTransform& from, const MotionTransform& to);
    // Whether a 64 × 40 grey thumbnail spans at least 2 grey levels.
    static bool hasTexture(const Image& image);

    // Reduces a homography that maps current-frame pixels onto the reference
    // frame (origin at the lower left, both frames width × height) to scale
    // and translation by the nine-point fit, with the acceptance limits.
    static std::optional<Measurement> measurementFromHomography(const cv::Matx33d& currentToReference, int width, int height);

    static std::shared_ptr<const Prepared> prepare(const Image& workingImage);
    // The pairwise registration of `current` against `reference`. Where the
    // picture repeats (a table scrolled by whole rows) and several alignments
    // look alike, the one nearest `expected` (reference -> current) is taken.
    static std::optional<Measurement> registerPair(
        const Prepared& reference, const Prepared& current, const std::optional<MotionTransform>& expected = std::nullopt);

private:
    struct Keyframe {
        std::shared_ptr<const Prepared> image;
        MotionTransform motion;
        std::int64_t frame;
    };

    Result beginScene(std::shared_ptr<const Prepared> image);

    std::vector<Keyframe> keyframes_;
    std::optional<Keyframe> previousFrame_;
    std::optional<std::int64_t> inputSceneID_;
    std::int64_t trackingSceneID_ = -1;
    MotionTransform previousMotion_ = MotionTransform::identity();
    MotionTransform motion_ = MotionTransform::identity();
    std::int64_t frame_ = -1;
    std::int64_t lastMeasuredFrame_ = -1;
    std::int64_t previousMeasuredFrame_ = -1;
};

} // namespace scrivel

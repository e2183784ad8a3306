#include "motion/FrameRegistration.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "ScrivelCore/Errors.hpp"
#include "decode/VideoFrames.hpp"

namespace scrivel {

namespace {

constexpr int workingDimensionPixels = 960;
constexpr std::size_t keyframeLimit = 64;
constexpr std::size_t nearestKeyframes = 3;
constexpr std::int64_t failedFramesForNewScene = 9;
constexpr double newKeyframeDistance = 1.0;
constexpr double earlyStopFitError = 0.25;
constexpr double earlyStopDistance = 0.35;
constexpr double distanceWeight = 0.15;
constexpr double minimumScale = 0.65;
constexpr double maximumScale = 1.55;
constexpr double maximumFitErrorPixels = 3.0;
constexpr double maximumGapSeconds = 0.1500001;

// Feature matching that stands in for the platform's homographic
// registration: features on a half-size copy find the homography, optical
// flow at the working size then makes it exact to a fraction of a pixel.
constexpr int featureCount = 500;
constexpr int pyramidLevels = 4; // 1.2^3 covers the accepted zoom range
constexpr int featurePatchPixels = 15;
constexpr int fastThreshold = 15;
constexpr double ratioTest = 0.8;
constexpr int minimumInliers = 12;
constexpr double coarseThresholdPixels = 3.0;
constexpr std::size_t refinedPoints = 100;
constexpr int flowHalfWindow = 5; // 11 × 11 windows
constexpr int flowIterations = 10;
constexpr double flowConvergedPixels = 0.01;
constexpr double refinedThresholdPixels = 1.0;
constexpr int maximumHypotheses = 3;
// RANSAC iterations for the first set of matches, and for each further set
// sought among the earlier ones' outliers. A further set worth finding (a
// part of the picture that moved alone, a repeating table) is a large share
// of what is left: 500 iterations find a share of 0.3 with the same
// confidence. Most searches find nothing, and each costs all its iterations.
constexpr int firstSetIterations = 2000;
constexpr int furtherSetIterations = 500;
constexpr int agreementStepPixels = 4;
constexpr double minimumOverlapShare = 0.05;
// Encoding noise keeps a true alignment of text a little under 1; a
// repeating pattern aligned one period off stays well below this.
constexpr double convincingAgreement = 0.95;
// Hypotheses whose agreement differs by less than this are told apart by the
// expected motion instead.
constexpr double ambiguousAgreement = 0.15;

} // namespace

class FrameRegistration::Prepared {
public:
    int width = 0;
    int height = 0;
    bool textured = false;
    cv::Mat grey;                    // working size
    std::vector<cv::Point2f> points; // feature positions at working size, pixel centres at integers, y down
    cv::Mat descriptors;
};

FrameRegistration::FrameRegistration() = default;
FrameRegistration::~FrameRegistration() = default;
FrameRegistration::FrameRegistration(FrameRegistration&&) noexcept = default;
FrameRegistration& FrameRegistration::operator=(FrameRegistration&&) noexcept = default;

namespace {

bool greyHasTexture(const cv::Mat& grey)
{
    cv::Mat probe;
    cv::resize(grey, probe, {64, 40}, 0, 0, cv::INTER_AREA);
    double darkest = 0, brightest = 0;
    cv::minMaxLoc(probe, &darkest, &brightest);
    return brightest - darkest >= 2;
}

} // namespace

bool FrameRegistration::hasTexture(const Image& image)
{
    if (image.empty())
        return false;
    cv::Mat grey;
    cv::cvtColor(image.pixels, grey, cv::COLOR_BGR2GRAY);
    return greyHasTexture(grey);
}

std::shared_ptr<const FrameRegistration::Prepared> FrameRegistration::prepare(const Image& workingImage)
{
    auto prepared = std::make_shared<Prepared>();
    prepared->width = workingImage.width();
    prepared->height = workingImage.height();
    if (workingImage.empty())
        return prepared;
    cv::cvtColor(workingImage.pixels, prepared->grey, cv::COLOR_BGR2GRAY);
    prepared->textured = greyHasTexture(prepared->grey);
    if (!prepared->textured)
        return prepared;
    cv::Mat half;
    cv::resize(prepared->grey, half, {}, 0.5, 0.5, cv::INTER_AREA);
    const auto orb = cv::ORB::create(featureCount, 1.2f, pyramidLevels, featurePatchPixels, 0, 2, cv::ORB::FAST_SCORE,
        featurePatchPixels, fastThreshold);
    std::vector<cv::KeyPoint> keypoints;
    orb->detectAndCompute(half, cv::noArray(), keypoints, prepared->descriptors);
    prepared->points.reserve(keypoints.size());
    for (const cv::KeyPoint& keypoint : keypoints) // half-size pixel i covers working pixels 2i and 2i + 1
        prepared->points.push_back(keypoint.pt * 2.0f + cv::Point2f(0.5f, 0.5f));
    return prepared;
}

namespace {

// One consistent set of feature matches, as a homography mapping current
// pixels onto reference pixels (OpenCV's raster convention).
struct Hypothesis {
    cv::Matx33d currentToReference; // raster coordinates
    double agreement;               // photometric, −1…1
};

// Candidate homographies, the most convincing first; several only when the
// picture repeats (tables, grids) and no single one is convincing.
std::vector<Hypothesis> estimateHomographies(const FrameRegistration::Prepared& reference, const FrameRegistration::Prepared& current);

} // namespace

std::optional<FrameRegistration::Measurement> FrameRegistration::registerPair(
    const Prepared& reference, const Prepared& current, const std::optional<MotionTransform>& expected)
{
    if (!reference.textured)
        return std::nullopt;
    // Raster coordinates (pixel centres at integers, y down) to image space
    // (origin at the lower-left corner, y up).
    const auto toImageSpace = [](int height) {
        return cv::Matx33d(1, 0, 0.5, 0, -1, height - 0.5, 0, 0, 1);
    };
    // Hypotheses come most convincing first. Among those the pictures cannot
    // tell apart from the best one, the one nearest the expected motion wins.
    std::optional<Measurement> chosen;
    std::optional<double> bestAgreement;
    double chosenDistance = 0;
    for (const Hypothesis& hypothesis : estimateHomographies(reference, current)) {
        const cv::Matx33d H = toImageSpace(reference.height) * hypothesis.currentToReference * toImageSpace(current.height).inv();
        const std::optional<Measurement> measured = measurementFromHomography(H, current.width, current.height);
        if (!measured)
            continue;
        if (!bestAgreement)
            bestAgreement = hypothesis.agreement;
        else if (hypothesis.agreement < *bestAgreement - ambiguousAgreement)
            break;
        const double d = expected ? distance(*expected, measured->motion) : 0;
        if (!chosen || d < chosenDistance) {
            chosen = measured;
            chosenDistance = d;
        }
    }
    return chosen;
}

std::optional<FrameRegistration::Measurement> FrameRegistration::measurementFromHomography(
    const cv::Matx33d& currentToReference, int width, int height)
{
    if (std::abs(cv::determinant(currentToReference)) <= 1e-10)
        return std::nullopt;
    const cv::Matx33d G = currentToReference.inv(); // reference -> current

    std::array<cv::Point2d, 9> P, Q;
    int k = 0;
    for (const double fx : {0.1, 0.5, 0.9})
        for (const double fy : {0.1, 0.5, 0.9}) {
            P[k] = {fx * width, fy * height};
            const cv::Vec3d mapped = G * cv::Vec3d(P[k].x, P[k].y, 1);
            Q[k] = {mapped[0] / mapped[2], mapped[1] / mapped[2]};
            if (!std::isfinite(Q[k].x) || !std::isfinite(Q[k].y))
                return std::nullopt;
            ++k;
        }

    cv::Point2d meanP, meanQ;
    for (int i = 0; i < 9; ++i) {
        meanP += P[i] / 9.0;
        meanQ += Q[i] / 9.0;
    }
    double numerator = 0, denominator = 0;
    for (int i = 0; i < 9; ++i) {
        const cv::Point2d p = P[i] - meanP, q = Q[i] - meanQ;
        numerator += p.dot(q);
        denominator += p.dot(p);
    }
    const double s = numerator / denominator;
    const cv::Point2d t = meanQ - s * meanP;
    double fitError = 0;
    for (int i = 0; i < 9; ++i)
        fitError += cv::norm(Q[i] - (s * P[i] + t)) / 9.0;

    if (!std::isfinite(s) || s < minimumScale || s > maximumScale || !(fitError <= maximumFitErrorPixels))
        return std::nullopt;
    return Measurement{MotionTransform(s, t.x / width, (1 - s) - t.y / height), fitError};
}

namespace {

float bilinear(const cv::Mat& grey, float x, float y)
{
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const float fx = x - x0, fy = y - y0;
    const std::uint8_t* row0 = grey.ptr<std::uint8_t>(y0) + x0;
    const std::uint8_t* row1 = grey.ptr<std::uint8_t>(y0 + 1) + x0;
    return (1 - fy) * ((1 - fx) * row0[0] + fx * row0[1]) + fy * ((1 - fx) * row1[0] + fx * row1[1]);
}

// Lucas-Kanade for one small window (translation only, inverse
// compositional): where the window around the whole-pixel `referencePoint`
// lies in `current`, starting from `guess`. Only the window's own pixels are
// read, so no image-wide gradients or pyramids are built per frame.
std::optional<cv::Point2f> followWindow(const cv::Mat& reference, const cv::Mat& current, cv::Point2f referencePoint, cv::Point2f guess)
{
    constexpr int side = 2 * flowHalfWindow + 1;
    const int rx = static_cast<int>(referencePoint.x), ry = static_cast<int>(referencePoint.y);
    if (rx - flowHalfWindow - 1 < 0 || ry - flowHalfWindow - 1 < 0 || rx + flowHalfWindow + 1 >= reference.cols
        || ry + flowHalfWindow + 1 >= reference.rows)
        return std::nullopt;
    std::array<float, side * side> templ{}, gx{}, gy{};
    double hxx = 0, hxy = 0, hyy = 0;
    for (int j = -flowHalfWindow, k = 0; j <= flowHalfWindow; ++j)
        for (int i = -flowHalfWindow; i <= flowHalfWindow; ++i, ++k) {
            const std::uint8_t* row = reference.ptr<std::uint8_t>(ry + j) + rx + i;
            templ[k] = row[0];
            gx[k] = 0.5f * (row[1] - row[-1]);
            gy[k] = 0.5f * (reference.ptr<std::uint8_t>(ry + j + 1)[rx + i] - reference.ptr<std::uint8_t>(ry + j - 1)[rx + i]);
            hxx += gx[k] * gx[k];
            hxy += gx[k] * gy[k];
            hyy += gy[k] * gy[k];
        }
    // Both directions must be constrained (not a plain edge or a flat area).
    const double determinant = hxx * hyy - hxy * hxy;
    const double trace = hxx + hyy;
    const double smallerEigen = trace / 2 - std::sqrt(std::max(0.0, trace * trace / 4 - determinant));
    if (smallerEigen < 50.0 * side * side)
        return std::nullopt;

    cv::Point2f position = guess;
    for (int iteration = 0; iteration < flowIterations; ++iteration) {
        if (position.x - flowHalfWindow < 0 || position.y - flowHalfWindow < 0 || position.x + flowHalfWindow + 1 >= current.cols
            || position.y + flowHalfWindow + 1 >= current.rows)
            return std::nullopt;
        double bx = 0, by = 0;
        for (int j = -flowHalfWindow, k = 0; j <= flowHalfWindow; ++j)
            for (int i = -flowHalfWindow; i <= flowHalfWindow; ++i, ++k) {
                const float difference = bilinear(current, position.x + i, position.y + j) - templ[k];
                bx += gx[k] * difference;
                by += gy[k] * difference;
            }
        const double dx = (hyy * bx - hxy * by) / determinant;
        const double dy = (hxx * by - hxy * bx) / determinant;
        position.x -= static_cast<float>(dx);
        position.y -= static_cast<float>(dy);
        if (dx * dx + dy * dy < flowConvergedPixels * flowConvergedPixels)
            break;
    }
    return position;
}

// Follows reference features (spread over `referenceFeatures`) into the
// current frame by optical flow, starting where `coarse` puts them, and fits
// the homography again on where they really are.
cv::Matx33d refinedByFlow(const FrameRegistration::Prepared& reference, const FrameRegistration::Prepared& current,
    const cv::Matx33d& coarse, const std::vector<cv::Point2f>& referenceFeatures)
{
    std::vector<cv::Point2f> referencePoints;
    const std::size_t stride = std::max<std::size_t>(1, referenceFeatures.size() / refinedPoints);
    for (std::size_t i = 0; i < referenceFeatures.size(); i += stride)
        referencePoints.emplace_back(std::round(referenceFeatures[i].x), std::round(referenceFeatures[i].y));
    std::vector<cv::Point2f> predicted;
    cv::perspectiveTransform(referencePoints, predicted, coarse.inv());
    std::vector<cv::Point2f> from, to;
    for (std::size_t i = 0; i < referencePoints.size(); ++i)
        if (const auto followed = followWindow(reference.grey, current.grey, referencePoints[i], predicted[i])) {
            from.push_back(*followed);
            to.push_back(referencePoints[i]);
        }
    if (static_cast<int>(from.size()) < minimumInliers)
        return coarse;
    std::vector<unsigned char> inliers;
    const cv::Mat refined = cv::findHomography(from, to, cv::RANSAC, refinedThresholdPixels, inliers, 2000, 0.995);
    if (refined.empty() || cv::countNonZero(inliers) < minimumInliers)
        return coarse;
    return cv::Matx33d(refined);
}

// How well the current frame agrees with the reference where `H` puts it:
// the correlation of grey values on a sparse grid of the overlap, −1 when
// the overlap is too small to judge.
double photometricAgreement(const cv::Mat& reference, const cv::Mat& current, const cv::Matx33d& H)
{
    double n = 0, sumA = 0, sumB = 0, sumAA = 0, sumBB = 0, sumAB = 0;
    int samples = 0;
    for (int y = 0; y < current.rows; y += agreementStepPixels)
        for (int x = 0; x < current.cols; x += agreementStepPixels) {
            ++samples;
            const double w = H(2, 0) * x + H(2, 1) * y + H(2, 2);
            // Bounds are checked in the float bilinear() reads: a double just
            // below the last column can round up onto it.
            const auto rx = static_cast<float>((H(0, 0) * x + H(0, 1) * y + H(0, 2)) / w);
            const auto ry = static_cast<float>((H(1, 0) * x + H(1, 1) * y + H(1, 2)) / w);
            if (!(rx >= 0 && ry >= 0 && rx < reference.cols - 1 && ry < reference.rows - 1))
                continue;
            const double a = current.at<std::uint8_t>(y, x);
            const double b = bilinear(reference, rx, ry);
            ++n;
            sumA += a;
            sumB += b;
            sumAA += a * a;
            sumBB += b * b;
            sumAB += a * b;
        }
    if (n < minimumOverlapShare * samples)
        return -1;
    const double varA = sumAA - sumA * sumA / n, varB = sumBB - sumB * sumB / n;
    if (varA <= 0 || varB <= 0)
        return 0;
    return (sumAB - sumA * sumB / n) / std::sqrt(varA * varB);
}

std::vector<Hypothesis> estimateHomographies(const FrameRegistration::Prepared& reference, const FrameRegistration::Prepared& current)
{
    std::vector<Hypothesis> hypotheses;
    if (reference.descriptors.rows < minimumInliers || current.descriptors.rows < minimumInliers)
        return hypotheses;
    cv::BFMatcher matcher(cv::NORM_HAMMING);
    std::vector<std::vector<cv::DMatch>> pairs;
    matcher.knnMatch(current.descriptors, reference.descriptors, pairs, 2);
    std::vector<cv::Point2f> from, to;
    for (const auto& pair : pairs) {
        if (pair.size() == 2 && pair[0].distance < ratioTest * pair[1].distance) {
            from.push_back(current.points[pair[0].queryIdx]);
            to.push_back(reference.points[pair[0].trainIdx]);
        }
    }

    // Tables, grids and repeated rows give more than one consistent set of
    // matches; each set is a hypothesis, and the pictures themselves judge.
    for (int round = 0; round < maximumHypotheses && static_cast<int>(from.size()) >= minimumInliers; ++round) {
        std::vector<unsigned char> inliers;
        const cv::Mat coarse = cv::findHomography(from, to, cv::RANSAC, coarseThresholdPixels, inliers,
                                                  round == 0 ? firstSetIterations : furtherSetIterations, 0.995);
        const int inlierCount = coarse.empty() ? 0 : cv::countNonZero(inliers);
        if (inlierCount < minimumInliers)
            break;
        std::vector<cv::Point2f> supporting, restFrom, restTo;
        for (std::size_t i = 0; i < from.size(); ++i) {
            if (inliers[i]) {
                supporting.push_back(to[i]);
            } else {
                restFrom.push_back(from[i]);
                restTo.push_back(to[i]);
            }
        }
        const cv::Matx33d H = refinedByFlow(reference, current, cv::Matx33d(coarse), supporting);
        hypotheses.push_back({H, photometricAgreement(reference.grey, current.grey, H)});
        if (hypotheses.back().agreement >= convincingAgreement)
            break;
        from = std::move(restFrom);
        to = std::move(restTo);
    }
    std::stable_sort(hypotheses.begin(), hypotheses.end(), [](const Hypothesis& a, const Hypothesis& b) { return a.agreement > b.agreement; });
    return hypotheses;
}

} // namespace

double FrameRegistration::distance(const MotionTransform& from, const MotionTransform& to)
{
    const double s = to.scale() / from.scale();
    const double tx = to.tx() - to.scale() * from.tx() / from.scale();
    const double ty = to.ty() - to.scale() * from.ty() / from.scale();
    return std::max({std::abs(tx) / 0.025, std::abs(ty) / 0.025, std::abs(std::log(s)) / 0.045});
}

FrameRegistration::Result FrameRegistration::beginScene(std::shared_ptr<const Prepared> image)
{
    ++trackingSceneID_;
    previousMotion_ = motion_ = MotionTransform::identity();
    lastMeasuredFrame_ = previousMeasuredFrame_ = frame_;
    keyframes_.clear();
    keyframes_.push_back(Keyframe{std::move(image), MotionTransform::identity(), frame_});
    previousFrame_ = keyframes_.front();
    return {MotionTransform::identity(), trackingSceneID_};
}

FrameRegistration::Result FrameRegistration::observe(const Image& frame, std::int64_t sceneID, std::stop_token stop)
{
    if (stop.stop_requested())
        throw OperationCancelled();
    ++frame_;
    if (frame.empty())
        throw VideoScanError::frameConversionFailed();
    const Image working = std::max(frame.width(), frame.height()) <= workingDimensionPixels
        ? frame
        : VideoFrames::raster(frame, workingDimensionPixels);
    std::shared_ptr<const Prepared> current = prepare(working);

    if (!inputSceneID_ || *inputSceneID_ != sceneID) {
        inputSceneID_ = sceneID;
        return beginScene(std::move(current));
    }

    struct Best {
        MotionTransform combined;
        double score;
    };
    std::optional<Best> best;
    if (current->textured) {
        // Constant velocity since the last two measurements.
        const std::int64_t measuredGap = lastMeasuredFrame_ - previousMeasuredFrame_;
        const double gap = measuredGap < 2 ? 1.0 : static_cast<double>(measuredGap);
        const double f = static_cast<double>(frame_ - lastMeasuredFrame_) / gap;
        const MotionTransform predicted(motion_.scale() * std::exp(f * std::log(motion_.scale() / previousMotion_.scale())),
            motion_.tx() + f * (motion_.tx() - previousMotion_.tx()), motion_.ty() + f * (motion_.ty() - previousMotion_.ty()));

        std::vector<const Keyframe*> candidates;
        for (const Keyframe& keyframe : keyframes_)
            candidates.push_back(&keyframe);
        std::stable_sort(candidates.begin(), candidates.end(), [&](const Keyframe* a, const Keyframe* b) {
            return distance(a->motion, predicted) < distance(b->motion, predicted);
        });
        if (candidates.size() > nearestKeyframes)
            candidates.resize(nearestKeyframes);
        if (previousFrame_ && std::none_of(candidates.begin(), candidates.end(), [&](const Keyframe* k) { return k->frame == previousFrame_->frame; }))
            candidates.push_back(&*previousFrame_);

        for (const Keyframe* candidate : candidates) {
            std::optional<Measurement> measured;
            try {
                measured = registerPair(*candidate->image, *current, predicted.composed(candidate->motion.inverted()));
            } catch (const cv::Exception&) {
                if (stop.stop_requested())
                    throw OperationCancelled();
                continue;
            }
            if (!measured)
                continue;
            const MotionTransform combined = measured->motion.composed(candidate->motion);
            const double d = distance(predicted, combined);
            const double score = measured->fitError + distanceWeight * d;
            if (!best || score < best->score)
                best = Best{combined, score};
            if (measured->fitError < earlyStopFitError && d < earlyStopDistance)
                break;
        }
    }

    if (best) {
        previousMotion_ = motion_;
        previousMeasuredFrame_ = lastMeasuredFrame_;
        lastMeasuredFrame_ = frame_;
        motion_ = best->combined;
        const bool farFromEveryKeyframe = std::all_of(keyframes_.begin(), keyframes_.end(),
            [&](const Keyframe& k) { return distance(k.motion, motion_) >= newKeyframeDistance; });
        if (farFromEveryKeyframe) {
            if (keyframes_.size() >= keyframeLimit)
                keyframes_.erase(keyframes_.begin() + 1); // keep the anchor
            keyframes_.push_back(Keyframe{current, motion_, frame_});
        }
        previousFrame_ = Keyframe{current, motion_, frame_};
        return {motion_, trackingSceneID_};
    }

    if (frame_ - lastMeasuredFrame_ < failedFramesForNewScene)
        return {std::nullopt, trackingSceneID_};
    return beginScene(std::move(current));
}

std::vector<std::optional<MotionTransform>> FrameRegistration::resolved(
    const std::vector<std::optional<MotionTransform>>& measurements, const std::vector<DetectionSample>& samples)
{
    if (measurements.size() != samples.size()) {
        std::fprintf(stderr, "FrameRegistration::resolved: %zu measurements for %zu samples\n", measurements.size(), samples.size());
        std::abort();
    }
    std::vector<std::optional<MotionTransform>> result = measurements;
    std::optional<std::size_t> previous;
    for (std::size_t i = 0; i < measurements.size(); ++i) {
        if (!measurements[i])
            continue;
        if (previous && i > *previous + 1) {
            const std::size_t p = *previous;
            const double dt = samples[i].time - samples[p].time;
            const bool sameScene = std::all_of(samples.begin() + p, samples.begin() + i + 1,
                [&](const DetectionSample& s) { return s.sceneID == samples[p].sceneID; });
            if (dt > 0 && dt <= maximumGapSeconds && sameScene) {
                const MotionTransform& a = *measurements[p];
                const MotionTransform& b = *measurements[i];
                for (std::size_t j = p + 1; j < i; ++j) {
                    const double u = (samples[j].time - samples[p].time) / dt;
                    result[j] = MotionTransform(std::exp(std::log(a.scale()) + u * std::log(b.scale() / a.scale())),
                        a.tx() + u * (b.tx() - a.tx()), a.ty() + u * (b.ty() - a.ty()));
                }
            }
        }
        previous = i;
    }
    return result;
}

} // namespace scrivel

#include "recognition/OcrEngine.hpp"

#include <algorithm>
#include <span>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "ScrivelCore/Errors.hpp"
#include "recognition/LineInk.hpp"
#include "recognition/NetworkLayers.hpp"
#include "scan/StageProfile.hpp"

namespace scrivel {

namespace {

using namespace ink;

// Detection post-processing (DB): threshold of the probability map, smallest
// box side, lowest mean probability of a kept box, and how far a box grows.
constexpr float kBinaryThreshold = 0.3f;
constexpr int kMinBoxSide = 3;
constexpr float kMinBoxScore = 0.6f;
constexpr double kUnclipRatio = 1.5;
// Lines shorter than this share of the image height are not reported.
constexpr double kMinLineHeight = 0.005;

// Recognition input: crops are scaled to this height; each output timestep
// covers this many columns of the scaled crop.
constexpr int kRecHeight = 48;
constexpr int kTimestepColumns = 8;
// Scaled crops are padded to a multiple of this many columns. A recognition
// net that meets an input of another shape than its last one rebuilds its
// layers first, which costs as much as reading a short line; with widths in
// steps of this size, lines read in order of width mostly reuse the shape.
constexpr int kPaddedWidthStepColumns = 32;
constexpr int kBlankClass = 0;
// A character's width relative to the scaled crop height, per width class,
// for lines of a single character (no neighbouring spike to measure from).
constexpr double kEmPerCropHeight = 0.55;

constexpr const char* kModelFiles[] = {"det.onnx", "rec.onnx", "keys.txt"};

std::vector<uchar> readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw PlatformError("Scrivel could not read the text recognition model " + path.string() + ".");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> readDictionary(const std::filesystem::path& path)
{
    std::ifstream in(path);
    if (!in)
        throw PlatformError("Scrivel could not read the text recognition dictionary " + path.string() + ".");
    std::vector<std::string> entries;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        entries.push_back(line);
    }
    return entries;
}

std::filesystem::path executableFolder()
{
    std::error_code error;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : exe.parent_path();
}

// Relative width of a glyph, from the code point's class: CTC spikes say
// where a character's centre is, these priors say where between two centres
// the boundary falls.
double widthPrior(UChar32 c)
{
    int eastAsian = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    if (eastAsian == U_EA_FULLWIDTH || eastAsian == U_EA_WIDE)
        return 1.0;
    static constexpr std::string_view narrow = "il.,:;'!|()[]{}";
    static constexpr std::string_view wide = "mwMW@%&OQGDHNU";
    if (c < 0x80 && narrow.find(static_cast<char>(c)) != std::string_view::npos)
        return 0.35;
    if (c < 0x80 && wide.find(static_cast<char>(c)) != std::string_view::npos)
        return 0.8;
    return 0.55;
}

// One emitted CTC token: a run of equal non-blank argmax timesteps.
struct Token {
    int classIndex = 0;
    int firstStep = 0;
    int lastStep = 0;
    float probability = 0;
};

// Leases network instances: a cv::dnn::Net is not safe to run from two
// threads at once. A net given an input of another size than its last plans
// its buffers again: a few milliseconds for a line, but for a whole frame's
// detection after windows 100 to 400 ms where first touches of memory are
// slow (a virtual machine), most of it faulting the new tensors in. So a
// lease for a given input size takes a net last run at that size where one
// is idle, and a small input does not take the only idle nets planned for a
// larger size that keeps coming while the pool may still grow (a scan's zoom
// frames detect windows between whole frames).
class NetPool {
public:
    explicit NetPool(std::vector<uchar> onnx) : onnx_(std::move(onnx)) {}

    class Lease {
    public:
        Lease(NetPool& pool, cv::dnn::Net net, cv::Size input) : pool_(&pool), net_(std::move(net)), input_(input) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { pool_->giveBack(std::move(net_), input_); }
        cv::dnn::Net& net() { return net_; }

    private:
        NetPool* pool_;
        cv::dnn::Net net_;
        cv::Size input_;
    };

    // A net for inputs of `input` size (width and height); none given: any
    // net, the most recently returned one.
    Lease lease(cv::Size input = {})
    {
        {
            std::lock_guard lock(mutex_);
            if (!input.empty())
                ++runsBySize_[{input.width, input.height}];
            const auto take = [&](std::deque<Idle>::iterator found) {
                cv::dnn::Net net = std::move(found->net);
                idle_.erase(found);
                return Lease(*this, std::move(net), input);
            };
            if (!idle_.empty() && input.empty())
                return take(std::prev(idle_.end()));
            const auto same =
                std::find_if(idle_.rbegin(), idle_.rend(), [&](const Idle& i) { return i.input == input; });
            if (same != idle_.rend())
                return take(std::prev(same.base()));
            const auto smallest = std::min_element(idle_.begin(), idle_.end(), [](const Idle& a, const Idle& b) {
                return a.input.area() < b.input.area();
            });
            if (smallest != idle_.end() &&
                (smallest->input.area() <= input.area() || nets_ >= kMostNets || !runsOften(smallest->input)))
                return take(smallest);
            ++nets_;
        }
        return Lease(*this, load(), input);
    }

    cv::dnn::Net load() const
    {
        registerNetworkLayers();
        cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx_);
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return net;
    }

private:
    // One net per thread that ran at once is kept, and one per input size
    // while fewer than kMostNets were made; beyond kMostIdleNets idle ones
    // (more threads than a scan uses), the oldest are let go.
    static constexpr std::size_t kMostNets = 4;
    static constexpr std::size_t kMostIdleNets = 6;

    // Whether inputs of this size came more than once: the frame's own size
    // during a zoom or a scroll, worth a net of its own, not a one-off (a
    // recording's first frame, before only windows are detected).
    bool runsOften(cv::Size input) const
    {
        const auto found = runsBySize_.find({input.width, input.height});
        return found != runsBySize_.end() && found->second > 1;
    }

    struct Idle {
        cv::dnn::Net net;
        cv::Size input; // of its last run; empty when unknown
    };

    void giveBack(cv::dnn::Net net, cv::Size input)
    {
        std::lock_guard lock(mutex_);
        idle_.push_back({std::move(net), input});
        while (idle_.size() > kMostIdleNets) {
            idle_.pop_front();
            --nets_;
        }
    }

    const std::vector<uchar> onnx_;
    std::mutex mutex_;
    std::deque<Idle> idle_; // guarded by mutex_; oldest first
    std::size_t nets_ = 0;  // nets made (loaded by a lease) and not let go; guarded by mutex_
    std::map<std::pair<int, int>, int> runsBySize_; // leases by input width and height; guarded by mutex_
};

std::uint64_t nextIdentity()
{
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

template <typename F>
auto guardOpenCv(F&& f)
{
    try {
        return f();
    } catch (const cv::Exception& error) {
        throw PlatformError(error.what());
    }
}

} // namespace

// ---------------------------------------------------------------------------

OcrLine::OcrLine(RecognizedText reading, ObservationBox box, std::vector<CharacterSpan> characters,
                 double marginWidth)
    : identity_(nextIdentity()), reading_(std::move(reading)), box_(box), characters_(std::move(characters)),
      marginWidth_(marginWidth)
{
}

std::optional<ObservationBox> OcrLine::boundingBox(TextMatcher::CharacterRange range) const
{
    if (range.lower >= range.upper || range.upper > characters_.size())
        return std::nullopt;
    double left = characters_[range.lower].left - marginWidth_;
    double right = characters_[range.upper - 1].right + marginWidth_;
    // The margin may run over the line's ends and up to the middle of the
    // spaces next to the range, never into a neighbouring character: callers
    // trim a span by its neighbours' boxes, so neighbours must not overlap.
    // A range at an end of the line reaches that end of the box: the box
    // may hold glyphs past the characters read (taken in when the line was
    // placed), which the reader never saw.
    bool first = true;
    for (std::size_t i = range.lower; i-- > 0;) {
        if (!characters_[i].whitespace) {
            left = std::max(left, (characters_[i].right + characters_[range.lower].left) / 2);
            first = false;
            break;
        }
    }
    bool last = true;
    for (std::size_t i = range.upper; i < characters_.size(); ++i) {
        if (!characters_[i].whitespace) {
            right = std::min(right, (characters_[range.upper - 1].right + characters_[i].left) / 2);
            last = false;
            break;
        }
    }
    if (first && range.lower == 0)
        left = std::min(left, box_.minX());
    if (last && range.upper == characters_.size())
        right = std::max(right, box_.maxX());
    left = std::max(left, box_.minX());
    right = std::min(right, box_.maxX());
    if (!(right > left))
        return std::nullopt;
    return ObservationBox{left, box_.y, right - left, box_.height};
}

// ---------------------------------------------------------------------------

struct OcrEngine::Impl {
    Options options;
    std::unique_ptr<NetPool> detection;
    std::unique_ptr<NetPool> recognition;
    std::vector<std::string> dictionary; // class i + 1 is entry i; the last class is a space

    std::string classText(int index) const
    {
        if (index >= 1 && index <= static_cast<int>(dictionary.size()))
            return dictionary[static_cast<std::size_t>(index - 1)];
        return " ";
    }
};

OcrEngine::OcrEngine(const std::filesystem::path& modelFolder) : OcrEngine(modelFolder, Options{}) {}

OcrEngine::OcrEngine(const std::filesystem::path& modelFolder, Options options) : impl_(std::make_unique<Impl>())
{
    impl_->options = options;
    impl_->dictionary = readDictionary(modelFolder / "keys.txt");
    impl_->detection = std::make_unique<NetPool>(readBytes(modelFolder / "det.onnx"));
    impl_->recognition = std::make_unique<NetPool>(readBytes(modelFolder / "rec.onnx"));
    settleOpenCvThreads();
    // Load one net of each now so that a broken model, or one prepared for
    // another build (a layer or attribute this one does not know), fails
    // here and not mid-scan.
    try {
        impl_->detection->lease();
        impl_->recognition->lease();
    } catch (const cv::Exception& error) {
        std::string reason = error.what();
        reason.erase(std::remove(reason.begin(), reason.end(), '\n'), reason.end());
        throw PlatformError("Scrivel could not load its text recognition models from " + modelFolder.string() +
                            " (" + reason + "). Run scripts/fetch-models.");
    }
    guardOpenCv([&] {
        auto lease = impl_->recognition->lease();
        // A model prepared before decoding took over its last softmax would
        // give every reading a confidence near zero, and nothing would be
        // redacted. (The importer ends a net with an Identity layer of its
        // own.)
        const std::vector<cv::String> layers = lease.net().getLayerNames();
        const auto last = std::find_if(layers.rbegin(), layers.rend(), [&](const cv::String& name) {
            return lease.net().getLayer(name)->type != "Identity";
        });
        if (last != layers.rend() && lease.net().getLayer(*last)->type == "Softmax")
            throw PlatformError("Scrivel's text recognition models are out of date (" + modelFolder.string() +
                                "). Run scripts/fetch-models.");
        return 0;
    });
}

OcrEngine::~OcrEngine() = default;

void OcrEngine::settleOpenCvThreads()
{
    static std::once_flag settled;
    std::call_once(settled, [] {
        cv::setNumThreads(static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1U, 4U)));
    });
}

std::vector<std::filesystem::path> OcrEngine::modelSearchPath()
{
    std::vector<std::filesystem::path> folders;
    if (const char* env = std::getenv("SCRIVEL_MODEL_DIR"); env && *env)
        folders.emplace_back(env);
    if (auto exe = executableFolder(); !exe.empty()) {
        folders.push_back(exe / "models");
        folders.push_back((exe / ".." / "share" / "scrivel" / "models").lexically_normal());
    }
#ifdef SCRIVEL_SOURCE_MODEL_DIR
    folders.emplace_back(SCRIVEL_SOURCE_MODEL_DIR);
#endif
    return folders;
}

std::filesystem::path OcrEngine::locateModels()
{
    return locateModels(modelSearchPath());
}

std::filesystem::path OcrEngine::locateModels(const std::vector<std::filesystem::path>& folders)
{
    for (const auto& folder : folders) {
        std::error_code error;
        bool complete = std::all_of(std::begin(kModelFiles), std::end(kModelFiles), [&](const char* name) {
            return std::filesystem::is_regular_file(folder / name, error);
        });
        if (complete)
            return folder;
    }
    std::ostringstream message;
    message << "Scrivel could not find its text recognition models (det.onnx, rec.onnx, keys.txt). Looked in:";
    for (const auto& folder : folders)
        message << ' ' << folder.string() << (&folder == &folders.back() ? "." : ",");
    message << " Run scripts/fetch-models or set SCRIVEL_MODEL_DIR.";
    throw PlatformError(message.str());
}

std::shared_ptr<const OcrEngine> OcrEngine::shared()
{
    static std::mutex mutex;
    static std::shared_ptr<const OcrEngine> engine; // guarded by mutex
    std::lock_guard lock(mutex);
    if (!engine)
        engine = std::make_shared<const OcrEngine>(locateModels());
    return engine;
}

std::vector<OcrEngine::DetectedBox> OcrEngine::detect(const Image& raster) const
{
    const StageProfile::Scope detecting(ScanStage::detection);
    if (raster.empty())
        return {};
    const int width = raster.width();
    const int height = raster.height();
    double scale = 1.0;
    if (auto limit = impl_->options.detectionLongSidePixels; limit && std::max(width, height) > *limit)
        scale = static_cast<double>(*limit) / std::max(width, height);
    auto roundTo32 = [](double v) { return std::max(32, static_cast<int>(std::lround(v / 32.0)) * 32); };
    const int detWidth = roundTo32(width * scale);
    const int detHeight = roundTo32(height * scale);

    cv::Mat probability = guardOpenCv([&] {
        cv::Mat resized;
        cv::resize(raster.pixels, resized, {detWidth, detHeight}, 0, 0, cv::INTER_LINEAR);
        cv::Mat input;
        resized.convertTo(input, CV_32FC3, 1.0 / 255);
        // ImageNet statistics, applied to B, G, R in that order as the model was trained.
        cv::subtract(input, cv::Scalar(0.485, 0.456, 0.406), input);
        cv::divide(input, cv::Scalar(0.229, 0.224, 0.225), input);
        cv::Mat blob = cv::dnn::blobFromImage(input);
        auto lease = impl_->detection->lease({detWidth, detHeight});
        lease.net().setInput(blob);
        cv::Mat out = lease.net().forward();
        return cv::Mat(detHeight, detWidth, CV_32F, out.ptr<float>()).clone();
    });

    cv::Mat binary = probability > kBinaryThreshold;
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(binary, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);

    const double sx = static_cast<double>(width) / detWidth;
    const double sy = static_cast<double>(height) / detHeight;
    const cv::Rect imageRect(0, 0, width, height);
    std::vector<DetectedBox> boxes;
    for (const auto& contour : contours) {
        cv::Rect r = cv::boundingRect(contour);
        if (std::min(r.width, r.height) < kMinBoxSide)
            continue;
        cv::Mat mask = cv::Mat::zeros(r.size(), CV_8U);
        std::vector<std::vector<cv::Point>> shifted{contour};
        for (auto& p : shifted[0])
            p -= r.tl();
        cv::fillPoly(mask, shifted, cv::Scalar(1));
        auto score = static_cast<float>(cv::mean(probability(r), mask)[0]);
        if (score < kMinBoxScore)
            continue;
        // The map marks a shrunk core of each line; grow it back.
        const double d = kUnclipRatio * r.area() / (2.0 * (r.width + r.height));
        const double x0 = (r.x - d) * sx, x1 = (r.x + r.width + d) * sx;
        const double y0 = (r.y - d) * sy, y1 = (r.y + r.height + d) * sy;
        cv::Rect grown(cv::Point(static_cast<int>(std::floor(x0)), static_cast<int>(std::floor(y0))),
                       cv::Point(static_cast<int>(std::ceil(x1)), static_cast<int>(std::ceil(y1))));
        grown &= imageRect;
        if (grown.width > 0 && grown.height > 0)
            boxes.push_back({grown, score});
    }

    // Reading order: top to bottom, and left to right within a row.
    std::sort(boxes.begin(), boxes.end(), [](const DetectedBox& a, const DetectedBox& b) {
        return a.rect.y != b.rect.y ? a.rect.y < b.rect.y : a.rect.x < b.rect.x;
    });
    for (std::size_t i = 1; i < boxes.size(); ++i) {
        for (std::size_t j = i; j > 0; --j) {
            const auto& above = boxes[j - 1].rect;
            const auto& here = boxes[j].rect;
            const int rowTolerance = std::min(above.height, here.height) / 2;
            if (std::abs(here.y - above.y) <= rowTolerance && here.x < above.x)
                std::swap(boxes[j - 1], boxes[j]);
            else
                break;
        }
    }
    return boxes;
}

std::optional<OcrLine> OcrEngine::readLine(const cv::Mat& frame, cv::Rect line) const
{
    line &= cv::Rect(0, 0, frame.cols, frame.rows);
    if (line.width <= 0 || line.height <= 0)
        return std::nullopt;
    auto reading = readLinePixels(frame(line));
    if (!reading)
        return std::nullopt;
    return placeLine(*reading, line, frame);
}

namespace {

int scaledWidthOf(cv::Rect crop)
{
    return std::max(1, static_cast<int>(std::ceil(double(kRecHeight) * crop.width / crop.height)));
}

int paddedWidthOf(int scaledWidth)
{
    return (scaledWidth + kPaddedWidthStepColumns - 1) / kPaddedWidthStepColumns * kPaddedWidthStepColumns;
}

} // namespace

int OcrEngine::paddedInputWidth(const cv::Mat& linePixels)
{
    return linePixels.empty() ? 0 : paddedWidthOf(scaledWidthOf(tightenToInk(linePixels)));
}

cv::Rect OcrEngine::inkBox(const cv::Mat& linePixels)
{
    return linePixels.empty() ? cv::Rect() : inkBoxOf(linePixels);
}

bool OcrEngine::readAtOneScale(const cv::Mat& readPixels, const cv::Mat& linePixels, cv::Point inkOffset)
{
    if (readPixels.empty() || linePixels.empty())
        return false;
    const cv::Rect readRows = tightenToInk(readPixels);
    const cv::Rect lineRows = tightenToInk(linePixels);
    return lineRows.y == readRows.y + inkOffset.y && lineRows.height == readRows.height;
}

std::optional<OcrEngine::LineReading> OcrEngine::movedReading(const LineReading& reading, const cv::Mat& readPixels,
                                                              const cv::Mat& linePixels, cv::Point inkOffset)
{
    if (!readAtOneScale(readPixels, linePixels, inkOffset))
        return std::nullopt;
    const cv::Rect lineRows = tightenToInk(linePixels);
    // A crop column x lands on scaled column x * scaledWidth / crop width.
    const int scaledWidth = scaledWidthOf(lineRows);
    const double readColumnsPerPixel = static_cast<double>(reading.scaledWidth) / readPixels.cols;
    const double lineColumnsPerPixel = static_cast<double>(scaledWidth) / linePixels.cols;
    const auto moved = [&](double column) {
        return (column / readColumnsPerPixel + inkOffset.x) * lineColumnsPerPixel;
    };
    LineReading result{reading.reading, {}, scaledWidth};
    result.characters.reserve(reading.characters.size());
    for (const auto& c : reading.characters)
        result.characters.push_back({moved(c.left), moved(c.right), c.whitespace});
    return result;
}

std::optional<OcrEngine::LineReading> OcrEngine::readLinePixels(const cv::Mat& linePixels) const
{
    const StageProfile::Scope reading(ScanStage::recognition);
    if (linePixels.empty())
        return std::nullopt;
    // The crop spans the whole line horizontally, so character positions in
    // the scaled crop map straight back onto the line.
    const cv::Mat contrast = inkContrastOf(linePixels);
    const cv::Rect crop = rowsAroundInk(cv::boundingRect(contrast > kInkContrast), linePixels.size());
    const int scaledWidth = scaledWidthOf(crop);
    const int paddedWidth = paddedWidthOf(scaledWidth);

    cv::Mat scores = guardOpenCv([&] {
        cv::Mat resized;
        cv::resize(linePixels(crop), resized, {scaledWidth, kRecHeight}, 0, 0, cv::INTER_LINEAR);
        cv::Mat input(kRecHeight, paddedWidth, CV_32FC3, cv::Scalar::all(0));
        resized.convertTo(input(cv::Rect(0, 0, scaledWidth, kRecHeight)), CV_32FC3, 1.0 / 127.5, -1.0);
        cv::Mat blob = cv::dnn::blobFromImage(input);
        auto lease = impl_->recognition->lease();
        lease.net().setInput(blob);
        cv::Mat out = lease.net().forward();
        // [1, timesteps, classes]: scores before the softmax, which the
        // model preparation leaves to the decoding below.
        return cv::Mat(out.size[1], out.size[2], CV_32F, out.ptr<float>()).clone();
    });

    // Greedy CTC: best class per timestep, repeats collapsed, blanks dropped.
    // The best class's probability is its share of the softmax,
    // 1 / sum(exp(score - best score)).
    std::vector<Token> tokens;
    int previous = kBlankClass;
    cv::Mat shares;
    for (int t = 0; t < scores.rows; ++t) {
        cv::Point best;
        double bestScore = 0;
        cv::minMaxLoc(scores.row(t), nullptr, &bestScore, nullptr, &best);
        cv::subtract(scores.row(t), cv::Scalar::all(bestScore), shares);
        cv::exp(shares, shares);
        const double probability = 1.0 / cv::sum(shares)[0];
        const int index = best.x;
        if (index != kBlankClass) {
            if (index == previous) {
                tokens.back().lastStep = t;
                tokens.back().probability = std::max(tokens.back().probability, static_cast<float>(probability));
            } else {
                tokens.push_back({index, t, t, static_cast<float>(probability)});
            }
        }
        previous = index;
    }
    auto isSpace = [&](const Token& token) { return impl_->classText(token.classIndex) == " "; };
    // An underscore's ink lies on the baseline, so the model often sees a gap
    // beside it and emits a space that splits identifiers and e-mail addresses.
    auto isUnderscore = [&](std::size_t i) { return i < tokens.size() && impl_->classText(tokens[i].classIndex) == "_"; };
    for (std::size_t i = tokens.size(); i-- > 0;)
        if (isSpace(tokens[i]) && (isUnderscore(i + 1) || (i > 0 && isUnderscore(i - 1))))
            tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i));
    while (!tokens.empty() && isSpace(tokens.back()))
        tokens.pop_back();
    auto firstKept = std::find_if_not(tokens.begin(), tokens.end(), isSpace);
    tokens.erase(tokens.begin(), firstKept);
    if (tokens.empty())
        return std::nullopt;

    // Token geometry in columns of the scaled crop.
    const std::size_t n = tokens.size();
    std::vector<double> centre(n), prior(n), left(n), right(n);
    std::string text;
    std::vector<int32_t> tokenUtf16Start(n);
    icu::UnicodeString utf16;
    double confidence = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string piece = impl_->classText(tokens[i].classIndex);
        tokenUtf16Start[i] = utf16.length();
        auto unit = icu::UnicodeString::fromUTF8(piece);
        utf16.append(unit);
        text += piece;
        centre[i] = (tokens[i].firstStep + tokens[i].lastStep + 1) * kTimestepColumns / 2.0;
        prior[i] = widthPrior(unit.length() > 0 ? unit.char32At(0) : U' ');
        confidence += tokens[i].probability;
    }
    confidence /= static_cast<double>(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double boundary = centre[i] + (centre[i + 1] - centre[i]) * prior[i] / (prior[i] + prior[i + 1]);
        right[i] = boundary;
        left[i + 1] = boundary;
    }
    if (n == 1) {
        const double half = prior[0] * kEmPerCropHeight * kRecHeight / 2;
        left[0] = centre[0] - half;
        right[0] = centre[0] + half;
    } else {
        // The outer half of an end character mirrors its inner half.
        left[0] = centre[0] - (right[0] - centre[0]);
        right[n - 1] = centre[n - 1] + (centre[n - 1] - left[n - 1]);
    }

    // Grapheme clusters of the reading, each spanning its tokens.
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status))
        throw PlatformError(u_errorName(status));
    breaks->setText(utf16);
    std::vector<LineReading::Columns> characters;
    std::vector<bool> wordLike; // per cluster: a letter, number or ideograph
    std::size_t next = 0; // first token not yet given to a cluster
    for (int32_t start = breaks->first(), end = breaks->next(); end != icu::BreakIterator::DONE;
         start = end, end = breaks->next()) {
        std::size_t first = next > 0 ? next - 1 : 0;
        std::size_t last = first;
        if (next < n && tokenUtf16Start[next] < end) {
            first = next;
            while (next < n && tokenUtf16Start[next] < end)
                ++next;
            last = next - 1;
        } // else the cluster lies inside a multi-character dictionary entry
        const UChar32 base = utf16.char32At(start);
        const bool whitespace = u_hasBinaryProperty(base, UCHAR_WHITE_SPACE);
        characters.push_back({left[first], right[last], whitespace});
        wordLike.push_back(u_isalnum(base) || u_hasBinaryProperty(base, UCHAR_IDEOGRAPHIC));
    }
    fitToInk(characters, wordLike, contrast(crop), static_cast<double>(scaledWidth) / crop.width);
    return LineReading{RecognizedText{std::move(text), static_cast<float>(confidence)}, std::move(characters),
                       scaledWidth};
}

namespace {

// The characters of `reading` on the columns of `line`, in a box `box`.
OcrLine placed(const OcrEngine::LineReading& reading, cv::Rect line, cv::Size frameSize, cv::Rect box)
{
    const int scaledWidth = reading.scaledWidth;
    auto toX = [&](double column) {
        return (line.x + std::clamp(column, 0.0, static_cast<double>(scaledWidth)) * line.width / scaledWidth) /
               frameSize.width;
    };
    std::vector<OcrLine::CharacterSpan> characters;
    characters.reserve(reading.characters.size());
    for (const auto& c : reading.characters)
        characters.push_back({toX(c.left), toX(c.right), c.whitespace});
    const ObservationBox observationBox{static_cast<double>(box.x) / frameSize.width,
                                        1.0 - static_cast<double>(box.y + box.height) / frameSize.height,
                                        static_cast<double>(box.width) / frameSize.width,
                                        static_cast<double>(box.height) / frameSize.height};
    return OcrLine(reading.reading, observationBox, std::move(characters),
                   kMarginCropHeights * line.height / frameSize.width);
}

} // namespace

OcrLine OcrEngine::placeLine(const LineReading& reading, cv::Rect line, cv::Size frameSize)
{
    return placed(reading, line, frameSize, line);
}

OcrLine OcrEngine::placeLine(const LineReading& reading, cv::Rect line, const cv::Mat& frame,
                             std::span<const cv::Rect> neighbours)
{
    const cv::Rect inFrame = line & cv::Rect(0, 0, frame.cols, frame.rows);
    return placed(reading, line, frame.size(), inFrame.empty() ? line : line | placedBoxOf(frame, inFrame, neighbours));
}

std::vector<cv::Rect> OcrEngine::findLines(const Image& raster, cv::Size frameSize, std::optional<cv::Rect> window) const
{
    if (raster.empty())
        return {};
    const double sx = static_cast<double>(frameSize.width) / raster.width();
    const double sy = static_cast<double>(frameSize.height) / raster.height();
    cv::Rect area(0, 0, raster.width(), raster.height());
    if (window)
        area &= *window;
    if (area.empty())
        return {};
    const bool whole = area == cv::Rect(0, 0, raster.width(), raster.height());
    std::vector<cv::Rect> crops;
    for (auto found : detect(whole ? raster : Image(raster.pixels(area)))) {
        found.rect += area.tl();
        if (static_cast<double>(found.rect.height) / raster.height() < kMinLineHeight)
            continue;
        const cv::Rect& r = found.rect;
        crops.emplace_back(cv::Point(static_cast<int>(std::floor(r.x * sx)), static_cast<int>(std::floor(r.y * sy))),
                           cv::Point(static_cast<int>(std::ceil(r.br().x * sx)), static_cast<int>(std::ceil(r.br().y * sy))));
    }
    return crops;
}

std::vector<std::size_t> OcrEngine::byScaledWidth(const cv::Mat& frame, const std::vector<cv::Rect>& lines)
{
    const cv::Rect frameRect(0, 0, frame.cols, frame.rows);
    std::vector<std::pair<int, std::size_t>> widths; // padded width, index
    widths.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const cv::Rect line = lines[i] & frameRect;
        widths.emplace_back(line.empty() ? 0 : paddedInputWidth(frame(line)), i);
    }
    std::stable_sort(widths.begin(), widths.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::size_t> order;
    order.reserve(widths.size());
    for (const auto& [width, index] : widths)
        order.push_back(index);
    return order;
}

std::vector<OcrLine> OcrEngine::recognize(const Image& raster, const Image* fullResolution) const
{
    const cv::Mat& source = fullResolution && !fullResolution->empty() ? fullResolution->pixels : raster.pixels;
    const std::vector<cv::Rect> crops = findLines(raster, source.size());
    // Read in order of scaled width (see kPaddedWidthStepColumns), kept in
    // the detector's order.
    std::vector<std::optional<LineReading>> read(crops.size());
    std::vector<cv::Rect> inFrame(crops.size());
    for (const std::size_t i : byScaledWidth(source, crops)) {
        inFrame[i] = crops[i] & cv::Rect(0, 0, source.cols, source.rows);
        if (!inFrame[i].empty())
            read[i] = readLinePixels(source(inFrame[i]));
    }
    std::vector<OcrLine> lines;
    for (std::size_t i = 0; i < read.size(); ++i)
        if (read[i])
            lines.push_back(placeLine(*read[i], inFrame[i], source, inFrame));
    return lines;
}

} // namespace scrivel

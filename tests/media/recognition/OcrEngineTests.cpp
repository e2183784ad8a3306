#include "recognition/OcrEngine.hpp"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/UnicodeText.hpp"
#include "support/OcrSuite.hpp"
#include "support/RenderedText.hpp"

namespace scrivel {
namespace {

namespace fs = std::filesystem;
using testing::Font;
using testing::TextCanvas;

class TemporaryFolder {
public:
    TemporaryFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "scrivel-ocr-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TemporaryFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

void touch(const fs::path& path) { std::ofstream(path) << "x"; }

TEST(OcrEngineModels, SearchPathPutsTheEnvironmentFirstThenTheExecutableFolders)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe").parent_path();
    {
        ScopedEnv env("SCRIVEL_MODEL_DIR", "/opt/models-from-env");
        auto path = OcrEngine::modelSearchPath();
        ASSERT_GE(path.size(), 3u);
        EXPECT_EQ(path[0], fs::path("/opt/models-from-env"));
        EXPECT_EQ(path[1], exe / "models");
        EXPECT_EQ(path[2], (exe / ".." / "share" / "scrivel" / "models").lexically_normal());
    }
    {
        ScopedEnv env("SCRIVEL_MODEL_DIR", nullptr);
        auto path = OcrEngine::modelSearchPath();
        ASSERT_GE(path.size(), 2u);
        EXPECT_EQ(path[0], exe / "models");
    }
}

TEST(OcrEngineModels, TheFirstFolderWithAllThreeFilesWins)
{
    TemporaryFolder partial, complete, alsoComplete;
    touch(partial.path() / "det.onnx");
    touch(partial.path() / "rec.onnx");
    for (const auto* folder : {&complete, &alsoComplete})
        for (const char* name : {"det.onnx", "rec.onnx", "keys.txt"})
            touch(folder->path() / name);
    EXPECT_EQ(OcrEngine::locateModels({partial.path(), complete.path(), alsoComplete.path()}), complete.path());
}

TEST(OcrEngineModels, MissingModelsNameEveryFolderSearched)
{
    TemporaryFolder empty;
    const fs::path nowhere = empty.path() / "nowhere";
    try {
        OcrEngine::locateModels({empty.path(), nowhere});
        FAIL() << "no folder holds the models";
    } catch (const PlatformError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("Scrivel could not find its text recognition models"), std::string::npos);
        EXPECT_NE(message.find(empty.path().string() + ","), std::string::npos) << message;
        EXPECT_NE(message.find(nowhere.string() + "."), std::string::npos) << message;
        EXPECT_NE(message.find("scripts/fetch-models"), std::string::npos) << message;
    }
    EXPECT_THROW(OcrEngine{empty.path()}, PlatformError);
}

// A detection model that cannot be loaded (damaged, or prepared for another
// build) stops the engine where it starts, with a message that says what to
// do, not at the first frame of a scan.
TEST(OcrEngineModels, AModelThatCannotBeLoadedIsRefusedAtTheStart)
{
    const fs::path models = OcrEngine::locateModels();
    TemporaryFolder broken;
    fs::copy_file(models / "keys.txt", broken.path() / "keys.txt");
    fs::copy_file(models / "rec.onnx", broken.path() / "rec.onnx");
    std::ofstream(broken.path() / "det.onnx") << "not a model";
    try {
        OcrEngine engine(broken.path());
        FAIL() << "the detection model is not a model";
    } catch (const PlatformError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("Scrivel could not load its text recognition models from " + broken.path().string()),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find("Run scripts/fetch-models."), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

class OcrEngineLines : public testing::OcrSuite {};

Image twoLines()
{
    TextCanvas canvas(420, 110, cv::Scalar(255, 255, 255));
    canvas.draw("Total 42 items", {20, 40}, 17, Font::sans, cv::Scalar(0, 0, 0));
    canvas.draw("Shipping today", {20, 85}, 17, Font::sans, cv::Scalar(0, 0, 0));
    return canvas.image();
}

TEST_F(OcrEngineLines, LinesComeInReadingOrderWithBoxesAndDistinctIdentities)
{
    const auto lines = engine_->recognize(twoLines());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].reading().string, "Total 42 items");
    EXPECT_EQ(lines[1].reading().string, "Shipping today");
    EXPECT_NE(lines[0].identity(), lines[1].identity());
    for (const auto& line : lines) {
        EXPECT_GT(line.reading().confidence, 0.9f);
        EXPECT_LE(line.reading().confidence, 1.0f);
        EXPECT_EQ(line.characters().size(), unicode::graphemeClusters(line.reading().string).size());
    }
    // Origin at the lower left: the first line is higher up.
    EXPECT_GT(lines[0].boundingBox().minY(), lines[1].boundingBox().maxY());
    // Read again, the same lines get new identities.
    const auto again = engine_->recognize(twoLines());
    ASSERT_EQ(again.size(), 2u);
    EXPECT_NE(again[0].identity(), lines[0].identity());
}

TEST_F(OcrEngineLines, CharacterRangeBoxesFollowTheText)
{
    const auto lines = engine_->recognize(twoLines());
    ASSERT_FALSE(lines.empty());
    const OcrLine& line = lines[0]; // "Total 42 items"
    ASSERT_EQ(line.reading().string, "Total 42 items");
    const ObservationBox whole = line.boundingBox();
    const auto total = line.boundingBox({0, 5});
    const auto number = line.boundingBox({6, 8});
    const auto items = line.boundingBox({9, 14});
    ASSERT_TRUE(total && number && items);
    for (const auto& b : {*total, *number, *items}) {
        EXPECT_GE(b.minX(), whole.minX());
        EXPECT_LE(b.maxX(), whole.maxX());
        EXPECT_EQ(b.minY(), whole.minY());
        EXPECT_EQ(b.height, whole.height);
    }
    // Neighbouring words' boxes do not overlap.
    EXPECT_LE(total->maxX(), number->minX());
    EXPECT_LE(number->maxX(), items->minX());
    // A longer range starts where its first character's range starts.
    EXPECT_DOUBLE_EQ(line.boundingBox({6, 14})->minX(), number->minX());
    EXPECT_DOUBLE_EQ(line.boundingBox({6, 14})->maxX(), items->maxX());
    // Nothing for empty or out-of-range ranges.
    EXPECT_FALSE(line.boundingBox({3, 3}));
    EXPECT_FALSE(line.boundingBox({4, 2}));
    EXPECT_FALSE(line.boundingBox({9, 15}));
}

TEST_F(OcrEngineLines, ANetThatRanAtOneSizeReadsAnotherAsAFreshOneWould)
{
    // The engine's nets serve any input size, planning their buffers again
    // when it changes; a layer that kept anything of the last size would
    // read garbage here.
    const Image small = twoLines();
    TextCanvas canvas(640, 96, cv::Scalar(30, 30, 30));
    canvas.draw("Dark theme status bar", {16, 52}, 18, Font::sans, cv::Scalar(230, 230, 230));
    const Image wide = canvas.image();
    auto texts = [&](const Image& image) {
        std::vector<std::string> out;
        for (const auto& line : engine_->recognize(image))
            out.push_back(line.reading().string);
        return out;
    };
    const auto first = texts(small);
    EXPECT_EQ(texts(wide), std::vector<std::string>{"Dark theme status bar"});
    EXPECT_EQ(texts(small), first);
    EXPECT_EQ(first.size(), 2u);
}

// Each character's extent takes in the whole ink of its glyph, as far as
// the soft edge of its anti-aliasing (a pixel either way between that and
// the drawn ink), and reaches no further than the middle of the glyph
// beside it. Spaces the reading leaves out do not matter.
TEST_F(OcrEngineLines, CharacterExtentsHoldTheirGlyphsInk)
{
    struct Drawn {
        std::string text;
        Font font;
        int pixelHeight;
        cv::Point baseline;
    };
    const std::vector<Drawn> drawn = {
        {"mail:<bob_k@mail.example.net>, tel:(021) 6543-2100.", Font::sans, 20, {16, 40}},
        {"send to ann.lee@example.com or call +44 20 7946 0958", Font::mono, 14, {16, 90}},
        {"请使用Linux系统拨打13812345678查询", Font::simplifiedChinese, 26, {16, 150}},
    };
    TextCanvas canvas(760, 180, cv::Scalar(250, 250, 250));
    for (const auto& d : drawn)
        canvas.draw(d.text, d.baseline, d.pixelHeight, d.font, cv::Scalar(30, 30, 30));
    const auto lines = engine_->recognize(canvas.image());
    ASSERT_EQ(lines.size(), drawn.size());

    for (std::size_t k = 0; k < drawn.size(); ++k) {
        const Drawn& d = drawn[k];
        SCOPED_TRACE(d.text);
        // The characters that are not spaces, with their glyphs' ink.
        struct Glyph {
            std::string text;
            cv::Rect ink;
            double left = 0, right = 0;
        };
        std::vector<Glyph> glyphs;
        const auto clusters = unicode::graphemeClusters(d.text);
        for (std::size_t i = 0; i < clusters.size(); ++i) {
            const std::size_t end = i + 1 < clusters.size() ? clusters[i + 1].utf8Offset : d.text.size();
            if (clusters[i].text != " ")
                glyphs.push_back({std::string(clusters[i].text),
                                  canvas.inkOf(d.text, clusters[i].utf8Offset, end, d.baseline, d.pixelHeight, d.font)});
        }
        const OcrLine& line = lines[k];
        const auto read = unicode::graphemeClusters(line.reading().string);
        ASSERT_EQ(read.size(), line.characters().size());
        std::size_t g = 0;
        for (std::size_t i = 0; i < read.size(); ++i) {
            if (line.characters()[i].whitespace)
                continue;
            ASSERT_LT(g, glyphs.size()) << line.reading().string;
            ASSERT_EQ(read[i].text, glyphs[g].text) << line.reading().string;
            glyphs[g].left = line.characters()[i].left * canvas.pixels().cols;
            glyphs[g].right = line.characters()[i].right * canvas.pixels().cols;
            ++g;
        }
        ASSERT_EQ(g, glyphs.size()) << line.reading().string;
        for (std::size_t i = 0; i < glyphs.size(); ++i) {
            const Glyph& glyph = glyphs[i];
            SCOPED_TRACE(glyph.text);
            EXPECT_LE(glyph.left, glyph.ink.x + 1.0);
            EXPECT_GE(glyph.right, glyph.ink.br().x - 1.0);
            if (i > 0) {
                EXPECT_GE(glyph.left, glyphs[i - 1].ink.x + glyphs[i - 1].ink.width / 2.0);
            }
            if (i + 1 < glyphs.size()) {
                EXPECT_LE(glyph.right, glyphs[i + 1].ink.x + glyphs[i + 1].ink.width / 2.0);
            }
        }
    }
}

// Detection boxes may cut into the tops of tall glyphs or an end glyph's
// outer strokes; the line's box takes in that ink, by at most a quarter of
// its height, while its characters stay on the columns that were read.
TEST_F(OcrEngineLines, ALinesBoxTakesInTheInkItsDetectionBoxCutsOff)
{
    TextCanvas canvas(480, 170, cv::Scalar(255, 255, 255));
    const cv::Rect ink = canvas.draw("Hello world", {40, 70}, 32, Font::sans, cv::Scalar(0, 0, 0));
    const cv::Rect second = canvas.draw("Second", {40, 150}, 32, Font::sans, cv::Scalar(0, 0, 0));
    // A bar from well above the second line runs down into its box.
    canvas.fill({second.x + second.width / 2, ink.br().y + 12, 3, second.y - ink.br().y - 8}, cv::Scalar(0, 0, 0));
    const auto pixelsOf = [&](const OcrLine& line) {
        const ObservationBox box = line.boundingBox();
        const cv::Size size = canvas.pixels().size();
        return cv::Rect2d(box.x * size.width, (1 - box.maxY()) * size.height, box.width * size.width,
                          box.height * size.height);
    };
    const auto quarter = [](const cv::Rect& r) { return std::floor(0.25 * r.height); };

    const cv::Rect cut(ink.x + 2, ink.y + 3, ink.width - 4, ink.height - 5);
    const auto line = engine_->readLine(canvas.pixels(), cut);
    ASSERT_TRUE(line.has_value());
    const cv::Rect2d box = pixelsOf(*line);
    EXPECT_LE(box.x, ink.x);
    EXPECT_LE(box.y, ink.y);
    EXPECT_GE(box.br().x, ink.br().x);
    EXPECT_GE(box.br().y, ink.br().y);
    EXPECT_GE(box.x, cut.x - quarter(cut));
    EXPECT_GE(box.y, cut.y - quarter(cut));
    EXPECT_LE(box.br().x, cut.br().x + quarter(cut));
    EXPECT_LE(box.br().y, cut.br().y + quarter(cut));
    const auto reading = engine_->readLinePixels(canvas.pixels()(cut));
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(line->characters(), OcrEngine::placeLine(*reading, cut, canvas.pixels().size()).characters());

    // A box with blank margins is the line's box as it is.
    const cv::Rect loose(ink.x - 8, ink.y - 6, ink.width + 16, ink.height + 12);
    const auto looseLine = engine_->readLine(canvas.pixels(), loose);
    ASSERT_TRUE(looseLine.has_value());
    const cv::Rect2d looseBox = pixelsOf(*looseLine);
    EXPECT_NEAR(looseBox.x, loose.x, 1e-6);
    EXPECT_NEAR(looseBox.y, loose.y, 1e-6);
    EXPECT_NEAR(looseBox.br().x, loose.br().x, 1e-6);
    EXPECT_NEAR(looseBox.br().y, loose.br().y, 1e-6);

    // Ink going on far beyond the box is taken in for a quarter of its height.
    const cv::Rect below(second.x - 8, second.y - 2, second.width + 16, second.height + 6);
    const auto belowLine = engine_->readLine(canvas.pixels(), below);
    ASSERT_TRUE(belowLine.has_value());
    const cv::Rect2d belowBox = pixelsOf(*belowLine);
    EXPECT_NEAR(belowBox.y, below.y - quarter(below), 1e-6);
    EXPECT_NEAR(belowBox.br().y, below.br().y, 1e-6);

    // That ink belongs to a line found above: the box stops at its box.
    const cv::Rect barLine(second.x, below.y - 14, second.width, 10);
    const auto belowReading = engine_->readLinePixels(canvas.pixels()(below));
    ASSERT_TRUE(belowReading.has_value());
    const std::vector<cv::Rect> frameLines = {barLine, below};
    const cv::Rect2d besideBox = pixelsOf(OcrEngine::placeLine(*belowReading, below, canvas.pixels(), frameLines));
    EXPECT_NEAR(besideBox.y, barLine.br().y, 1e-6) << "grown up to the other line's box, not into it";
    EXPECT_NEAR(besideBox.br().y, below.br().y, 1e-6);
}

TEST_F(OcrEngineLines, ALinesBoxTakesInTheGlyphsItsDetectionBoxLeftOut)
{
    TextCanvas canvas(520, 80, cv::Scalar(255, 255, 255));
    const std::string text = "Kelvin 何俊傑";
    const cv::Point baseline{20, 50};
    canvas.draw(text, baseline, 28, Font::traditionalChinese, cv::Scalar(0, 0, 0));
    const std::size_t lastGlyph = text.size() - std::string("傑").size();
    const cv::Rect whole = canvas.inkOf(text, 0, text.size(), baseline, 28, Font::traditionalChinese);
    const cv::Rect last = canvas.inkOf(text, lastGlyph, text.size(), baseline, 28, Font::traditionalChinese);
    const cv::Rect before = canvas.inkOf(text, 0, lastGlyph, baseline, 28, Font::traditionalChinese);
    ASSERT_GT(last.x, before.br().x) << "a gap between the last two glyphs";
    // Far off to the right, past more than a word space, another word.
    const cv::Rect other = canvas.draw("09:12", {whole.br().x + 40, 50}, 28, Font::sans, cv::Scalar(0, 0, 0));

    // The detection box ends in the gap before the last glyph.
    const cv::Rect cut(whole.x - 4, whole.y - 4, before.br().x + 1 - (whole.x - 4), whole.height + 8);
    const auto reading = engine_->readLinePixels(canvas.pixels()(cut));
    ASSERT_TRUE(reading.has_value());
    const OcrLine placed = OcrEngine::placeLine(*reading, cut, canvas.pixels());
    const double right = placed.boundingBox().maxX() * canvas.pixels().cols;
    EXPECT_GE(right, last.br().x) << "the left-out glyph is in the box";
    EXPECT_LT(right, other.x) << "the word beyond a space is not";
    // A span ending with the characters read reaches the box's end.
    const std::size_t count = placed.characters().size();
    ASSERT_GT(count, 2u);
    const auto lastRead = placed.boundingBox({count - 2, count});
    ASSERT_TRUE(lastRead.has_value());
    EXPECT_GE(lastRead->maxX() * canvas.pixels().cols, last.br().x);
}

TEST_F(OcrEngineLines, LinesShorterThanHalfAPercentOfTheImageAreNotReported)
{
    // The same 12 px word in a 1600 and in a 4800 pixel tall picture: its
    // box (about 20 px) is above 0.005 of the first and below that of the second.
    auto tall = [](int height) {
        TextCanvas canvas(96, height, cv::Scalar(255, 255, 255));
        canvas.draw("Hello", {16, height / 2}, 12, Font::sans, cv::Scalar(0, 0, 0));
        return canvas.image();
    };
    const auto shown = engine_->recognize(tall(1600));
    ASSERT_EQ(shown.size(), 1u);
    const double boxPixels = shown[0].boundingBox().height * 1600;
    ASSERT_LT(boxPixels, 0.005 * 4800) << "the word's box is too tall for this test";
    EXPECT_TRUE(engine_->recognize(tall(4800)).empty());
}

} // namespace
} // namespace scrivel

// Recognition accuracy on generated screen-like 1920x1080 frames.
//
//   OcrAccuracyBench [frames=4] [--raster-crops] [--seed N]
//
// Lines are found on the frame scaled to 1280 wide (what a balanced scan
// passes); they are read from the full-resolution frame unless
// --raster-crops is given. Prints line recall, character error rate,
// e-mail / phone / Han-run exact hits and how many selection boxes cover
// their string's ink.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "ScrivelCore/UnicodeText.hpp"
#include "recognition/OcrEngine.hpp"
#include "recognition/TextRecognizer.hpp"
#include "support/ScreenFrames.hpp"

using namespace scrivel;
using namespace scrivel::testing;

namespace {

// NFKC (full-width forms become ASCII) without white space: the recogniser
// drops most spaces and returns full-width punctuation.
std::u32string normalised(const std::string& text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
    icu::UnicodeString s = nfkc->normalize(icu::UnicodeString::fromUTF8(text), status);
    std::u32string out;
    for (int32_t i = 0; i < s.length(); i = s.moveIndex32(i, 1)) {
        UChar32 c = s.char32At(i);
        if (!u_isUWhiteSpace(c))
            out.push_back(static_cast<char32_t>(c));
    }
    return out;
}

cv::Rect2d pixels(const NormalizedRect& r, int width, int height)
{
    return {r.x * width, r.y * height, r.width * width, r.height * height};
}

cv::Rect2d selectionPixels(const DetectedRegion& region, const TextSelection& s, int width, int height)
{
    const auto& r = region.rect;
    return {(r.x + s.rect.x * r.width) * width, (r.y + s.rect.y * r.height) * height, s.rect.width * r.width * width,
            s.rect.height * r.height * height};
}

bool covers(const cv::Rect2d& box, const cv::Rect& ink, double tolerance)
{
    return box.x <= ink.x + tolerance && box.x + box.width >= ink.br().x - tolerance &&
           box.y <= ink.y + tolerance && box.y + box.height >= ink.br().y - tolerance;
}

struct Tally {
    int total = 0;
    int hits = 0;
    int covered = 0;      // of the hits, box covers the ink within 1 px
    int coveredLoose = 0; // within a tenth of a character
    std::vector<std::string> misses;
};

} // namespace

int main(int argc, char** argv)
{
    int frames = 4;
    bool rasterCrops = false;
    std::uint32_t seed = 1000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--raster-crops") == 0)
            rasterCrops = true;
        else
            frames = std::atoi(argv[i]);
    }
    auto engine = std::make_shared<OcrEngine>(OcrEngine::locateModels());
    TextRecognizer recognizer(engine);
    ScanSettings settings;
    settings.blurEmails = true;
    settings.blurPhones = true;
    settings.blurHan = true;

    int lines = 0, recalled = 0;
    std::size_t errors = 0, characters = 0;
    Tally emails, phones, han;
    double seconds = 0;
    for (int f = 0; f < frames; ++f) {
        const ScreenFrame frame = makeScreenFrame(seed + static_cast<std::uint32_t>(f));
        const int W = frame.image.width(), H = frame.image.height();
        cv::Mat raster;
        cv::resize(frame.image.pixels, raster, {1280, 720}, 0, 0, cv::INTER_AREA);
        const auto start = std::chrono::steady_clock::now();
        const auto regions = recognizer.recognize(Image(raster), settings, rasterCrops ? nullptr : &frame.image);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        for (const auto& line : frame.lines) {
            ++lines;
            const cv::Point2d centre(line.ink.x + line.ink.width / 2.0, line.ink.y + line.ink.height / 2.0);
            const DetectedRegion* best = nullptr;
            double bestArea = 0;
            for (const auto& region : regions) {
                const cv::Rect2d box = pixels(region.rect, W, H);
                const double area = (box & cv::Rect2d(line.ink)).area();
                if (box.contains(centre) && area > bestArea) {
                    best = &region;
                    bestArea = area;
                }
            }
            const auto truth = normalised(line.text);
            if (!best) {
                for (auto* spans : {&line.emails, &line.phones, &line.hanRuns}) {
                    Tally& t = spans == &line.emails ? emails : spans == &line.phones ? phones : han;
                    for (const auto& s : *spans) {
                        ++t.total;
                        t.misses.push_back(s.text + "  [line not found]");
                    }
                }
                continue;
            }
            ++recalled;
            characters += truth.size();
            errors += scrivel::unicode::editDistance(std::u32string_view(truth), std::u32string_view(normalised(best->text)));
            const double characterWidth = static_cast<double>(line.ink.width) / std::max<std::size_t>(truth.size(), 1);
            auto score = [&](const std::vector<DrawnSpan>& spans, RedactionKind kind, Tally& t) {
                for (const auto& span : spans) {
                    ++t.total;
                    const auto want = normalised(span.text);
                    const TextSelection* hit = nullptr;
                    for (const auto& s : best->selections)
                        if (s.kind == kind && normalised(s.text) == want)
                            hit = &s;
                    if (!hit) {
                        t.misses.push_back(span.text + "  read as: " + best->text);
                        continue;
                    }
                    ++t.hits;
                    const cv::Rect2d box = selectionPixels(*best, *hit, W, H);
                    t.covered += covers(box, span.ink, 1.0);
                    t.coveredLoose += covers(box, span.ink, std::max(1.0, 0.1 * characterWidth));
                }
            };
            score(line.emails, RedactionKind::email, emails);
            score(line.phones, RedactionKind::phone, phones);
            // Han runs are judged by place, not text: Traditional characters
            // missing from the dictionary come back Simplified, which does not
            // matter for redaction.
            for (const auto& span : line.hanRuns) {
                ++han.total;
                const TextSelection* hit = nullptr;
                for (const auto& s : best->selections) {
                    if (s.kind != RedactionKind::han)
                        continue;
                    const cv::Rect2d box = selectionPixels(*best, s, W, H);
                    const double centre = span.ink.x + span.ink.width / 2.0;
                    if (box.x <= centre && centre <= box.x + box.width)
                        hit = &s;
                }
                if (!hit) {
                    han.misses.push_back(span.text + "  read as: " + best->text);
                    continue;
                }
                ++han.hits;
                const cv::Rect2d box = selectionPixels(*best, *hit, W, H);
                han.covered += covers(box, span.ink, 1.0);
                han.coveredLoose += covers(box, span.ink, std::max(1.0, 0.1 * span.ink.height));
            }
        }
    }

    std::printf("OCR accuracy: %d frames 1920x1080, lines found at 1280, read from %s\n", frames,
                rasterCrops ? "the 1280 raster" : "the full-resolution frame");
    std::printf("  line recall           %.3f  (%d of %d)\n", double(recalled) / lines, recalled, lines);
    std::printf("  character error rate  %.2f %%  (%zu edits in %zu characters of found lines, spaces ignored)\n",
                100.0 * double(errors) / double(characters), errors, characters);
    for (auto [name, t] : {std::pair{"e-mail", &emails}, std::pair{"phone", &phones}, std::pair{"Han run", &han}}) {
        std::printf("  %-8s %s hits %.1f %% (%d of %d); boxes covering the ink: %.1f %% within 1 px, "
                    "%.1f %% within 0.1 character\n",
                    name, t == &han ? "placed" : "exact", t->total ? 100.0 * t->hits / t->total : 0.0, t->hits, t->total,
                    t->hits ? 100.0 * t->covered / t->hits : 0.0, t->hits ? 100.0 * t->coveredLoose / t->hits : 0.0);
        for (const auto& miss : t->misses)
            std::printf("      missed: %s\n", miss.c_str());
    }
    std::printf("  time: %.2f s per frame (recognition only, 1 thread)\n", seconds / frames);
    return 0;
}

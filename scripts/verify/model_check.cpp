// Developer check for scripts/verify-models: renders fixed inputs and runs
// the rewritten models with OpenCV's dnn module.
//   model_check prepare DIR           writes DIR/<name>.f32 inputs and DIR/inputs.txt
//   model_check run MODEL IN N C H W OUT [IN N C H W OUT ...]
//   model_check bf16                  exits 0 where the layers take bfloat16 products
#include "recognition/NetworkLayers.hpp"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

cv::Mat renderPage(int width, int height, bool dark) {
    cv::Mat page(height, width, CV_8UC3, dark ? cv::Scalar(40, 34, 30) : cv::Scalar(250, 250, 250));
    cv::Scalar ink = dark ? cv::Scalar(230, 230, 230) : cv::Scalar(30, 30, 30);
    auto latin = cv::freetype::createFreeType2();
    latin->loadFontData("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 0);
    auto cjk = cv::freetype::createFreeType2();
    cjk->loadFontData("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", 0);
    const std::vector<std::string> lines = {
        "Contact: alice.martin@example.com", "Call +1 (415) 555-0199 today",
        "int main() { return 0; }", "会议记录：下午三点在二楼开会", "Settings  Profile  Sign out",
    };
    int y = 12;
    for (size_t i = 0; i < lines.size() && y < height - 24; ++i) {
        auto& font = i == 3 ? cjk : latin;
        int px = 14 + static_cast<int>(i % 3) * 3;
        font->putText(page, lines[i], {10, y}, px, ink, -1, cv::LINE_AA, false);
        y += px * 2;
    }
    return page;
}

void writeBlob(const std::string& path, const cv::Mat& blob) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(blob.ptr<float>()), blob.total() * sizeof(float));
}

cv::Mat detBlob(const cv::Mat& bgr) {
    cv::Mat f;
    bgr.convertTo(f, CV_32FC3, 1.0 / 255);
    cv::subtract(f, cv::Scalar(0.485, 0.456, 0.406), f);
    cv::divide(f, cv::Scalar(0.229, 0.224, 0.225), f);
    return cv::dnn::blobFromImage(f);
}

cv::Mat recBlob(const std::vector<cv::Mat>& crops, int width) {
    std::vector<cv::Mat> items;
    for (const auto& crop : crops) {
        cv::Mat resized, f;
        cv::resize(crop, resized, {width, 48}, 0, 0, cv::INTER_LINEAR);
        resized.convertTo(f, CV_32FC3, 1.0 / 127.5, -1.0);
        items.push_back(f);
    }
    return cv::dnn::blobFromImages(items);
}

int prepare(const std::string& dir) {
    std::ofstream list(dir + "/inputs.txt");
    auto emit = [&](const std::string& name, const cv::Mat& blob, const std::string& model) {
        writeBlob(dir + "/" + name + ".f32", blob);
        list << model << ' ' << name << ' ' << blob.size[0] << ' ' << blob.size[1] << ' ' << blob.size[2] << ' '
             << blob.size[3] << '\n';
    };
    emit("det_light_320x256", detBlob(renderPage(320, 256, false)), "det");
    emit("det_dark_960x640", detBlob(renderPage(960, 640, true)), "det");
    cv::Mat page = renderPage(640, 200, false);
    cv::Mat line1 = page(cv::Rect(4, 2, 400, 22)), line2 = page(cv::Rect(4, 30, 360, 24));
    cv::Mat line4 = page(cv::Rect(4, 102, 320, 30));
    emit("rec_batch1_w200", recBlob({line1}, 200), "rec");
    emit("rec_batch2_w320", recBlob({line2, line4}, 320), "rec");
    emit("rec_batch1_w968", recBlob({line4}, 968), "rec");
    return 0;
}

int run(int argc, char** argv) {
    cv::setNumThreads(1);
    scrivel::registerNetworkLayers();
    cv::dnn::Net net = cv::dnn::readNetFromONNX(argv[2]);
    for (int a = 3; a + 5 < argc; a += 6) {
        int shape[4] = {std::atoi(argv[a + 1]), std::atoi(argv[a + 2]), std::atoi(argv[a + 3]), std::atoi(argv[a + 4])};
        cv::Mat blob(4, shape, CV_32F);
        std::ifstream in(argv[a], std::ios::binary);
        in.read(reinterpret_cast<char*>(blob.ptr<float>()), static_cast<std::streamsize>(blob.total() * sizeof(float)));
        if (!in) {
            std::cerr << "short input " << argv[a] << '\n';
            return 1;
        }
        net.setInput(blob);
        cv::Mat out = net.forward().clone();
        writeBlob(argv[a + 5], out);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "prepare" && argc == 3) return prepare(argv[2]);
    if (mode == "run" && argc >= 9) return run(argc, argv);
    if (mode == "bf16" && argc == 2) return scrivel::bfloat16ProductsAvailable() ? 0 : 1;
    std::cerr << "usage: model_check prepare DIR | run MODEL IN N C H W OUT... | bf16\n";
    return 2;
}

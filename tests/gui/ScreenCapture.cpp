// Captures the X screen once (GStreamer's ximagesrc), saves it as a PNG and
// prints how varied it is, so a test can tell a drawn window from a blank one.
//
//   scrivel_screen_capture <out.png> [RRGGBB ...]
// prints: {"width":W,"height":H,"colours":N,"spread":S,"counts":[...]}
// where colours counts distinct 4-bit-per-channel colours, spread is the
// standard deviation of the grey values, and counts holds, for each colour
// given, how many pixels are within 6 of it in every channel, and boxes the
// bounding box [left, top, right, bottom] of those pixels (or null).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <set>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <out.png> [RRGGBB ...]\n", argv[0]);
        return 2;
    }
    gst_init(&argc, &argv);
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "ximagesrc use-damage=false num-buffers=1 ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink", &error);
    if (!pipeline) {
        std::fprintf(stderr, "capture pipeline: %s\n", error ? error->message : "?");
        return 1;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
    if (!sample) {
        std::fprintf(stderr, "no picture from the screen\n");
        return 1;
    }
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
    GstMapInfo map;
    gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
    const cv::Mat picture = cv::Mat(GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_WIDTH(&info), CV_8UC3, map.data,
                                    GST_VIDEO_INFO_PLANE_STRIDE(&info, 0))
                                .clone();
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    gst_sample_unref(sample);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);

    cv::imwrite(argv[1], picture);
    std::vector<cv::Vec3b> wanted; // BGR
    std::vector<long> counts;
    std::vector<cv::Rect> boxes;
    for (int i = 2; i < argc; ++i) {
        const unsigned long rgb = std::strtoul(argv[i], nullptr, 16);
        wanted.emplace_back(uchar(rgb & 0xff), uchar((rgb >> 8) & 0xff), uchar((rgb >> 16) & 0xff));
        counts.push_back(0);
        boxes.emplace_back();
    }
    std::set<int> colours;
    double sum = 0;
    double squares = 0;
    for (int y = 0; y < picture.rows; ++y) {
        for (int x = 0; x < picture.cols; ++x) {
            const cv::Vec3b p = picture.at<cv::Vec3b>(y, x);
            colours.insert((p[0] >> 4) << 8 | (p[1] >> 4) << 4 | (p[2] >> 4));
            for (std::size_t i = 0; i < wanted.size(); ++i) {
                if (std::abs(p[0] - wanted[i][0]) <= 6 && std::abs(p[1] - wanted[i][1]) <= 6 &&
                    std::abs(p[2] - wanted[i][2]) <= 6) {
                    ++counts[i];
                    boxes[i] = boxes[i].empty() ? cv::Rect(x, y, 1, 1) : (boxes[i] | cv::Rect(x, y, 1, 1));
                }
            }
            const double grey = (p[0] + p[1] + p[2]) / 3.0;
            sum += grey;
            squares += grey * grey;
        }
    }
    const double n = double(picture.total());
    const double mean = sum / n;
    std::printf("{\"width\":%d,\"height\":%d,\"colours\":%zu,\"spread\":%.3f,\"counts\":[", picture.cols,
                picture.rows, colours.size(), std::sqrt(std::max(0.0, squares / n - mean * mean)));
    for (std::size_t i = 0; i < counts.size(); ++i) std::printf("%s%ld", i ? "," : "", counts[i]);
    std::printf("],\"boxes\":[");
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i].empty()) std::printf("%snull", i ? "," : "");
        else std::printf("%s[%d,%d,%d,%d]", i ? "," : "", boxes[i].x, boxes[i].y, boxes[i].x + boxes[i].width,
                         boxes[i].y + boxes[i].height);
    }
    std::printf("]}\n");
    return 0;
}

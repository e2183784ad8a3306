#include <cstdio>

#include "ScrivelCli/ArgumentReader.hpp"
#include "ScrivelCli/Command.hpp"
#include "decode/MediaInspector.hpp"

namespace scrivel::cli {

namespace {

constexpr std::string_view inspectHelp = R"(usage: scrivel-cli inspect VIDEO

Probes a video file and prints its facts as JSON: id, displayName, duration
(seconds), width and height (displayed, after rotation), nominalFrameRate and
fileSize (bytes).

options:
  -h, --help   show this help
)";

int runInspect(const std::vector<std::string>& arguments, std::stop_token)
{
    ArgumentReader reader(arguments);
    std::string video;
    while (!reader.atEnd()) {
        if (reader.nextIsOption())
            throw UsageError("unknown option " + reader.takeOption());
        if (!video.empty())
            throw UsageError("inspect takes one video");
        video = reader.takePositional();
    }
    if (video.empty())
        throw UsageError("missing VIDEO");
    const VideoInfo info = MediaInspector::inspect(video);
    std::printf("%s\n", toJson(info).dump(2).c_str());
    return success;
}

} // namespace

Command inspectCommand()
{
    return {"inspect", "print a video's facts as JSON", inspectHelp, runInspect};
}

} // namespace scrivel::cli

#include "ScrivelCli/ExportOptions.hpp"

#include <cstdio>

#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/ProgressDisplay.hpp"
#include "export/VideoExporter.hpp"

namespace scrivel::cli {

namespace {

std::uint32_t parseColor(const std::string& option, std::string text)
{
    if (!text.empty() && text[0] == '#')
        text.erase(0, 1);
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError(option + " takes six hexadecimal digits, RRGGBB");
    return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

} // namespace

const std::string_view ExportOptions::help = R"(mask options:
  --style STYLE          blur, pixelate, solid or skeleton (default blur)
  --blur-radius N        blur radius in pixels (default 24)
  --pixel-size N         pixelation cell size in pixels (default 12)
  --corner-radius N      mask corner rounding in pixels (default 0)
  --opacity F            mask opacity, 0 to 1 (default 1)
  --feather N            soft edge width in pixels (default 0)
  --padding T,R,B,L      margin around each mask in pixels (default 0,0,0,0)
  --color RRGGBB         fill colour of the solid style (default 101318)
  --no-animation         keep skeleton bars still
  --exclude-track ID     leave this track unmasked (repeatable)
  --mask X,Y,W,H,START,END
                         add a manual mask: frame fractions from the top-left,
                         times in seconds, END exclusive (repeatable)
  --show-regions         also draw the outlines of every mask
)";

bool ExportOptions::take(const std::string& option, ArgumentReader& reader)
{
    if (option == "--style") {
        const std::string value = reader.takeValue(option);
        const auto style = maskStyleFromRaw(value);
        if (!style)
            throw UsageError("--style takes blur, pixelate, solid or skeleton, not '" + value + "'");
        settings.style = *style;
    } else if (option == "--blur-radius") {
        settings.blurRadius = ArgumentReader::number(option, reader.takeValue(option));
    } else if (option == "--pixel-size") {
        settings.pixelSize = ArgumentReader::number(option, reader.takeValue(option));
    } else if (option == "--corner-radius") {
        settings.cornerRadius = ArgumentReader::number(option, reader.takeValue(option));
    } else if (option == "--opacity") {
        settings.opacity = ArgumentReader::number(option, reader.takeValue(option));
    } else if (option == "--feather") {
        settings.feather = ArgumentReader::number(option, reader.takeValue(option));
    } else if (option == "--padding") {
        const auto values = ArgumentReader::numbers(option, reader.takeValue(option), 4);
        settings.padding = {values[0], values[1], values[2], values[3]};
    } else if (option == "--color") {
        settings.solidColor = parseColor(option, reader.takeValue(option));
    } else if (option == "--no-animation") {
        settings.skeletonAnimation = false;
    } else if (option == "--exclude-track") {
        settings.excludedTrackIDs.push_back(ArgumentReader::integer(option, reader.takeValue(option)));
    } else if (option == "--mask") {
        const auto values = ArgumentReader::numbers(option, reader.takeValue(option), 6);
        settings.manualMasks.push_back({"mask-" + std::to_string(settings.manualMasks.size() + 1),
                                        {values[0], values[1], values[2], values[3]}, values[4], values[5], true});
    } else if (option == "--show-regions") {
        showRegions = true;
    } else {
        return false;
    }
    return true;
}

void exportWithProgress(const std::filesystem::path& video, const std::filesystem::path& output,
                        const ScanResult& result, const ExportOptions& options, std::stop_token stop)
{
    ProgressDisplay display(stderr, "Exporting");
    const ExportReport report = VideoExporter::exportVideo(
        video, output, result, options.settings, [&display](double fraction) { display.update(fraction); }, stop,
        options.showRegions ? RegionOutlines::shown : RegionOutlines::hidden);
    display.finish();
    for (const std::string& note : report.notes)
        std::fprintf(stderr, "note: %s\n", note.c_str());
}

} // namespace scrivel::cli

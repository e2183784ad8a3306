#include "ScrivelCli/ScanOptions.hpp"

#include <cmath>
#include <cstdio>

#include "ScrivelCli/Command.hpp"
#include "ScrivelCli/ScanProgressDisplay.hpp"
#include "scan/VideoScanner.hpp"

namespace scrivel::cli {

const std::string_view ScanOptions::help = R"(scan options (with no kind given: --emails --phones --han):
  --all-text             mask every line of text as a whole
  --han                  mask runs of Han (Chinese) characters
  --emails               mask e-mail addresses
  --phones               mask phone numbers
  --term TEXT            mask TEXT wherever it appears, ignoring case and
                         width (repeatable; added to the kinds above)
  --quality Q            fast, balanced or precise: frames are read at up to
                         1280, 2200 or full pixels (default balanced)
  --confidence F         drop readings less certain than F, 0 to 1
                         (default 0.3)
  --full-recognition     recognize every frame from scratch instead of only
                         what changed since the previous frame (slower; for
                         comparison)
)";

bool ScanOptions::take(const std::string& option, ArgumentReader& reader)
{
    if (option == "--all-text") {
        allText = true;
    } else if (option == "--han") {
        han = true;
    } else if (option == "--emails") {
        emails = true;
    } else if (option == "--phones") {
        phones = true;
    } else if (option == "--term") {
        std::string term = reader.takeValue(option);
        if (term.empty())
            throw UsageError("--term needs a non-empty text");
        terms.push_back(std::move(term));
    } else if (option == "--quality") {
        const std::string value = reader.takeValue(option);
        if (value == "fast")
            quality = OCRQuality::fast;
        else if (value == "balanced")
            quality = OCRQuality::balanced;
        else if (value == "precise")
            quality = OCRQuality::precise;
        else
            throw UsageError("--quality takes fast, balanced or precise, not '" + value + "'");
    } else if (option == "--full-recognition") {
        fullRecognition = true;
    } else if (option == "--confidence") {
        const double value = ArgumentReader::number(option, reader.takeValue(option));
        if (value < 0 || value > 1)
            throw UsageError("--confidence takes a number from 0 to 1");
        confidence = static_cast<float>(value);
    } else {
        return false;
    }
    return true;
}

ScanSettings ScanOptions::settings() const
{
    const bool kindChosen = allText || han || emails || phones;
    ScanSettings settings;
    settings.allText = allText;
    settings.quality = quality;
    settings.confidence = confidence;
    settings.blurHan = kindChosen ? han : true;
    settings.blurEmails = kindChosen ? emails : true;
    settings.blurPhones = kindChosen ? phones : true;
    settings.customTerms = terms;
    return settings;
}

ScanResult scanWithProgress(const std::string& video, const ScanOptions& options, std::stop_token stop)
{
    const VideoScanner scanner(VideoScanner::Options{options.fullRecognition});
    ScanProgressDisplay display(stderr);
    ScanResult result =
        scanner.scan(video, options.settings(), [&display](const ScanProgress& p) { display.update(p); }, stop);
    display.finish();
    return result;
}

} // namespace scrivel::cli

#include "fuzz/FuzzSupport.hpp"

#include "ScrivelCore/Errors.hpp"
#include "ScrivelCore/SavedReview.hpp"

using namespace scrivel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto review = fuzz::checkDecoder<SavedReview>(data, size);
    if (!review)
        return 0;
    // What a review file decodes to is rendered without further checks by
    // `export --review` and the app: it must pass the export's own check.
    try {
        validateRenderSettings(review->renderSettings, review->scanResult.duration);
    } catch (const ScrivelError&) {
        fuzz::fail("a decoded review holds render settings an export refuses");
    }
    if (!isSha256Hex(review->video.sha256) || review->video.sizeBytes < 0)
        fuzz::fail("a decoded review names its video impossibly");
    return 0;
}

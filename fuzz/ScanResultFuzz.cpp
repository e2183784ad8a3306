#include "fuzz/FuzzSupport.hpp"

#include "ScrivelCore/DetectionTimeline.hpp"

using namespace scrivel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto result = fuzz::checkDecoder<ScanResult>(data, size);
    if (!result)
        return 0;
    // A decoded result goes straight into the preview's lookup; any samples
    // the page could send must be usable there.
    const DetectionTimeline timeline(result->samples);
    for (const DetectionSample& sample : result->samples)
        (void)timeline.regions(sample.time);
    (void)timeline.regions(-1);
    (void)timeline.regions(result->duration);
    (void)result->tracks();
    return 0;
}

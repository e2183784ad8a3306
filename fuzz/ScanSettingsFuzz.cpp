#include "fuzz/FuzzSupport.hpp"

using namespace scrivel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto settings = fuzz::checkDecoder<ScanSettings>(data, size);
    if (settings)
        (void)maximumImageDimension(settings->quality);
    return 0;
}

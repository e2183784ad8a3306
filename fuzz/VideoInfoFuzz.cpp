#include "fuzz/FuzzSupport.hpp"

#include "decode/VideoInfo.hpp"

using namespace scrivel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    (void)fuzz::checkDecoder<VideoInfo>(data, size);
    return 0;
}

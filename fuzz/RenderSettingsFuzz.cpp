#include "fuzz/FuzzSupport.hpp"

#include <limits>

#include "ScrivelCore/Errors.hpp"

using namespace scrivel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto settings = fuzz::checkDecoder<RenderSettings>(data, size);
    if (!settings)
        return 0;
    // Whatever decodes goes through the check the preview and export run
    // first; it may only accept or refuse with the user-facing error.
    for (const double duration : {0.0, 10.0, std::numeric_limits<double>::infinity()}) {
        try {
            validateRenderSettings(*settings, duration);
        } catch (const ScrivelError& error) {
            if (error.code() != ScrivelError::Code::invalidMaskSettings)
                fuzz::fail("validation refused with another error");
        }
    }
    return 0;
}

#include "fuzz/FuzzSupport.hpp"

#include "ScrivelApp/BridgeProtocol.hpp"

using namespace scrivel;

namespace {

// What a decoder accepted must be the object's own values: the strings as
// sent, and the nested settings exactly what the records' own decoders make
// of the same object.
template <class T>
void sameAs(const T& decoded, const Json& json)
{
    try {
        if (!(decoded == decode<T>(json)))
            fuzz::fail("a request's settings differ from the record decoder's");
    } catch (const JsonDecodeError&) {
        fuzz::fail("a request decoded settings the record decoder refuses");
    }
}

void sameString(const std::string& decoded, const Json& params, const char* key)
{
    if (decoded != params.at(key).get<std::string>())
        fuzz::fail("a request's string field differs from what was sent");
}

} // namespace

// Input: one byte choosing the record, then the params object as JSON text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const Json params = Json::parse(data + 1, data + size, nullptr, false);
    if (params.is_discarded())
        return 0;
    try {
        switch (data[0] % 9) {
        case 0: {
            const ScanRequest request = decodeScanRequest(params);
            sameString(request.videoId, params, "videoId");
            sameString(request.jobId, params, "jobId");
            sameAs(request.settings, params.at("settings"));
            break;
        }
        case 1: {
            const ExportRequest request = decodeExportRequest(params);
            sameString(request.videoId, params, "videoId");
            sameString(request.jobId, params, "jobId");
            sameAs(request.settings, params.at("settings"));
            break;
        }
        case 2:
            sameString(decodeCancelRequest(params).jobId, params, "jobId");
            break;
        case 3: {
            const PlayerBounds bounds = decodePlayerBounds(params);
            if (bounds.visible != params.at("visible").get<bool>())
                fuzz::fail("visible differs from what was sent");
            break;
        }
        case 4: {
            const PreviewRequest request = decodePreviewRequest(params);
            sameString(request.videoId, params, "videoId");
            sameAs(request.renderSettings, params.at("renderSettings"));
            break;
        }
        case 5:
            sameString(decodeDrawingRequest(params).videoId, params, "videoId");
            break;
        case 6:
            sameString(decodeVideoRequest(params).videoId, params, "videoId");
            break;
        case 7:
            sameString(decodeSeekRequest(params).videoId, params, "videoId");
            break;
        case 8:
            sameString(decodeRevealRequest(params).path, params, "path");
            break;
        }
    } catch (const JsonDecodeError&) {
    }
    return 0;
}

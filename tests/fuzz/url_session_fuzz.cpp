// libFuzzer target for the task URL: scheme recognition, the decoding of its
// path and the session made from it. The input is the URL text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "downlib/session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);

    if (const auto scheme = downlib::RecognizeScheme(url)) {
        if (scheme->prefixLength > url.size()) std::abort();
    }
    // Decoding only ever shortens: "%XX" becomes one byte, "+" stays one.
    if (downlib::DecodeUrlPath(url).size() > url.size()) std::abort();

    for (const downlib::TaskUse use :
         {downlib::TaskUse::Assistant, downlib::TaskUse::Download, downlib::TaskUse::Upload}) {
        downlib::TaskParam param;
        param.url = url;
        param.localPath = url;
        param.transferTypeMode = 3;
        const auto session = downlib::CreateSession(param, use);
        if (!session) continue;
        if (session->host.empty() || session->host.size() > url.size()) std::abort();
        if (session->path.size() > url.size()) std::abort();
        if (session->transferTypeMode != 1 && session->transferTypeMode != 2) std::abort();
    }
    return 0;
}

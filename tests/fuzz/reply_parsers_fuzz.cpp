// libFuzzer target for the parsers of single replies: the PASV reply (227)
// and the folder of a 257 reply. The input is one reply text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "downlib/data_channel.h"
#include "downlib/remote_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);

    downlib::DataEndpoint endpoint;
    if (downlib::ParsePassiveReply(reply, endpoint)) {
        // The address is four fields of the reply joined by dots: never more
        // text than the reply held.
        if (endpoint.address.size() > reply.size()) std::abort();
    }

    if (const auto folder = downlib::ParsePwdReply(reply)) {
        // The folder lies between quotes of the reply, so it is shorter.
        if (folder->size() + 2 > reply.size()) std::abort();
    }
    return 0;
}

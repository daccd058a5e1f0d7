// Which names from a server's listing may be used, and for what. A listing is
// the server's word: a name in it may try to climb out of the folder it was
// listed in, on the server or on the local disk.
#pragma once

#include <string_view>

namespace downlib {

enum class EntryNameUse {
    // Joined to its folder on the server as folder + "/" + name and sent in a
    // command: one path piece that stays inside that folder.
    ServerChild,
    // One component of a local path: a plain file name on this machine.
    LocalComponent,
};

bool IsSafeEntryName(std::string_view name, EntryNameUse use);

}  // namespace downlib

// The one rule for names taken from listings (see entry_name.h).
#include "downlib/entry_name.h"

namespace downlib {
namespace {

// "\" separates paths on some servers and on other systems, so "..\x" could
// climb either way, and a control byte has no place in a command's name or in
// a file name. A GBK name whose trail byte is "\" is refused with them:
// leaving such a file alone is the safe side of the doubt.
bool IsPlainName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const unsigned char c : name) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

bool IsSafeEntryName(std::string_view name, EntryNameUse use) {
    // Both uses refuse the same names today; a new use is weighed here.
    switch (use) {
        case EntryNameUse::ServerChild:
        case EntryNameUse::LocalComponent:
            return IsPlainName(name);
    }
    return false;
}

}  // namespace downlib

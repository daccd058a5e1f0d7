// The shared entry texts and icons (see list_texts.h).
#include "app/list_texts.h"

#include "toolkit/text.h"

namespace app {

toolkit::TextOrigin TypeOrigin(const std::string& type) {
    return type == kPlainFileType || type == kFolderType ? toolkit::TextOrigin::Program
                                                         : toolkit::TextOrigin::Foreign;
}

std::string FileTypeText(const std::string& name) {
    const auto pieces = toolkit::Split(name, ".");
    if (pieces.size() < 2) return kPlainFileType;
    return pieces.back();
}

std::string FormatGroupedSize(std::int64_t size) {
    const std::string digits = std::to_string(size);
    const std::size_t first = digits[0] == '-' ? 1 : 0;
    std::string grouped = digits.substr(0, first);
    // A comma before every group of three digits, counted from the right.
    for (std::size_t i = first; i < digits.size(); ++i) {
        if (i > first && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

int IconForType(const std::string& type) {
    struct Entry {
        const char* type;
        int icon;
    };
    static const Entry table[] = {
        {"exe", kImageProgram}, {"txt", kImageText},    {"avi", kImageVideo},   {"rmvb", kImageVideo},
        {"zip", kImageArchive}, {"rar", kImageArchive}, {"7z", kImageArchive},  {"jpg", kImagePicture},
        {"png", kImagePicture}, {"ico", kImagePicture}, {"bmp", kImagePicture}, {"gif", kImagePicture},
        {"dll", kImageLibrary},
    };
    for (const auto& e : table) {
        if (type == e.type) return e.icon;
    }
    return kImageFile;
}

}  // namespace app

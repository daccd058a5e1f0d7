// The texts and pictures the local list, the remote list and the queue share
// for an entry: its type column, its grouped size and its icon.
#pragma once

#include <cstdint>
#include <string>

#include "toolkit/toolkit.h"

namespace app {

// Pictures of the shared image list.
enum ImageIndex : int {
    kImageVideo = 0,
    kImageFolder = 1,
    kImageProgram = 3,
    kImageLibrary = 4,
    kImageFile = 5,
    kImageArchive = 6,
    kImageText = 7,
    kImageParent = 9,
    kImagePicture = 10,
};

inline constexpr const char* kParentRowText = "返回上级目录";
inline constexpr const char* kFolderType = "文件夹";
inline constexpr const char* kPlainFileType = "文件";

// The type column of a file: the last piece of its name after a ".", or
// kPlainFileType without one.
std::string FileTypeText(const std::string& name);
// "1,234,567": a comma before every group of three digits.
std::string FormatGroupedSize(std::int64_t size);
int IconForType(const std::string& type);
// The type text is a piece of the name (foreign bytes) unless it is one of
// the program's own words.
toolkit::TextOrigin TypeOrigin(const std::string& type);

}  // namespace app

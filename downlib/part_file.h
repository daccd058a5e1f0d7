// The temporary name a download is written under, and the note beside it
// that says which remote file it belongs to. A download carries its final
// name only once it is whole; a part left by a stop or a kill is taken up
// again only when the note still matches the server's file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace downlib {

inline constexpr const char* kPartSuffix = ".quorvel-part";
inline constexpr const char* kPartNoteSuffix = ".quorvel-part.info";

// The remote file a part was started from: its size and its MDTM time
// (14 digits, as the server sent them).
struct PartOrigin {
    std::int64_t size = -1;
    std::string modified;

    bool operator==(const PartOrigin&) const = default;
};

std::string PartFileName(const std::string& finalName);
std::string PartNoteName(const std::string& finalName);
// True for a name that is a part file or its note (never shown as finished).
bool IsPartFileName(const std::string& name);

// The 14 digits of an MDTM reply ("213 20261209101500" or with fractions),
// nothing for any other reply.
std::optional<std::string> ParseMdtmReply(const std::string& reply);

// The note as a short text file beside the part, written without following
// a link. False when it cannot be written.
bool WritePartNote(int folderFd, const std::string& finalName, const PartOrigin& origin);
// The note, read without following a link; nothing when it is missing,
// not a plain file, too long, or not exactly in the written form.
std::optional<PartOrigin> ReadPartNote(int folderFd, const std::string& finalName);
std::optional<PartOrigin> ParsePartNote(const std::string& text);
void RemovePartNote(int folderFd, const std::string& finalName);

}  // namespace downlib

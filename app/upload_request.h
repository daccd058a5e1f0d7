// Upload requests: "上传文件" in the local list's popup menu, and local rows
// dropped on the remote list, turn the selected local files and folders into
// queue rows for the transfer driver: one row per file and, depth first, one
// "create remote folder" row per folder before the rows of its content. The
// rows go into the remote folder the server reports when the request is made,
// and the remote folder is listed again once they have run through.
//
// What is not sent, each with a log line: a name that would break a command
// or a remote path (a control byte, CR, LF, "/"), a name too long for the
// servers, a name a GBK server cannot store, a link that leads out of the
// selection or round in a loop, and anything that is neither a file nor a
// folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace app {

struct App;

// Before the type text in column 3 of an upload row ("上传txt", "上传文件夹").
inline constexpr const char* kUploadTypePrefix = "上传";
// The longest remote name sent, in bytes: the limit of a name on the file
// systems the servers store on.
inline constexpr std::size_t kLongestRemoteName = 255;

// Handler of the localMenu item "上传文件", and of local rows dropped on
// remoteList.
void QueueUploadRequest(App& app);

// The remote name of a local name: its bytes as they are, or converted to GBK
// when the remote folder's listing was read as GBK. Nothing, with the reason
// in `why`, for a name that must not be sent.
std::optional<std::string> RemoteNameFor(const std::string& localName, bool toGbk, std::string& why);

// Whether `path` is `folder` or lies below it (both canonical paths).
bool IsWithinFolder(const std::string& path, const std::string& folder);

// On queueTimer's tick: once an upload request has run through, the current
// remote folder is listed again, as soon as no other action talks to the
// server.
void ListRemoteAfterUploads(App& app);

}  // namespace app

// What an upload does about a remote file of the same name. Size alone
// cannot tell an unchanged file from a changed one, or a half-sent copy of
// this file from an older version of it: a byte is appended only to a remote
// file proven to be the beginning of the local one, a file is skipped only
// when proven the same, and everything else is sent from byte 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace downlib {

// What SIZE and MDTM told about the remote file.
enum class RemoteExistence { Absent, Present, Unknown };

struct RemoteFile {
    RemoteExistence existence = RemoteExistence::Unknown;
    std::int64_t size = -1;               // -1: SIZE did not tell
    std::optional<std::string> modified;  // MDTM's 14 digits, UTC
};

// What is known from SIZE's and MDTM's reply codes and values. In ASCII type
// a 550 to SIZE may only mean "not in this type" (pyftpdlib, proftpd).
RemoteFile RemoteFileFrom(int sizeCode, std::int64_t size, int mdtmCode, std::optional<std::string> modified,
                          bool binary);

// The proof a decision needs before it can be taken.
enum class ProofWanted {
    None,
    SameFile,  // same size: the same content?
    Prefix,    // shorter: the beginning of the local file?
};

// What the opening decided; the numbers are those of the task record.
enum class UploadMode : int {
    Nothing = 0,          // nothing to send
    Resume = 1,           // continue the remote file at its size
    FromZero = 2,         // no remote file: send from byte 0
    Replace = 6,          // a remote file existed: send from byte 0 over it
    AlternativeName = 8,  // a remote file existed: send from byte 0 under another name
};

struct UploadDecision {
    UploadMode mode = UploadMode::FromZero;
    std::int64_t offset = 0;
    // The one log line that says why (empty when there was no choice).
    std::string reason;
    // The upload must not go on: sending would destroy what the caller asked
    // to keep (a resume without proof, a name whose existence is unknown).
    bool refused = false;
};

inline constexpr const char* kSameFileText = "同名文件内容相同，跳过";
inline constexpr const char* kResumeProvenText = "续传：服务器上的部分与本地文件开头一致";
inline constexpr const char* kReplaceText = "覆盖：服务器上的同名文件与本地文件不同";
inline constexpr const char* kResumeRefusedText =
    "不能续传：服务器上的同名文件不能证明是本地文件的开头, 服务器上的文件没有改动";
inline constexpr const char* kExistenceUnknownText = "无法确定服务器上是否已有同名文件, 没有上传";

// Which proof the flags call for. Byte positions and sizes mean the same on
// both sides only in binary type: in ASCII type nothing can be proven.
ProofWanted ProofFor(int flags, const RemoteFile& remote, std::int64_t localSize, bool binary);
// The decision by the flags (the first of 0x02, 0x01, 0x04, 0x08, 0x20 that
// is set), once the proof ProofFor named was sought: `proven` says whether it held.
UploadDecision DecideUpload(int flags, const RemoteFile& remote, std::int64_t localSize, bool proven);
// The reason a resume onto a larger remote file is refused.
std::string RemoteLargerText(std::int64_t remoteSize, std::int64_t localSize);

}  // namespace downlib

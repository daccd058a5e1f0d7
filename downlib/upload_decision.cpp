#include "downlib/upload_decision.h"

#include "downlib/ftp_engine.h"

namespace downlib {
namespace {

// The first flag that decides, in the order the engine has always read them.
int DecidingFlag(int flags) {
    for (int flag : {UploadResume, UploadReplace, UploadAlternativeName, UploadSkip, UploadUpdate}) {
        if (flags & flag) return flag;
    }
    return 0;
}

UploadDecision Decision(UploadMode mode, std::int64_t offset = 0, std::string reason = {}) {
    UploadDecision decision;
    decision.mode = mode;
    decision.offset = offset;
    decision.reason = std::move(reason);
    return decision;
}

UploadDecision Refusal(std::string reason) {
    UploadDecision decision;
    decision.mode = UploadMode::Nothing;
    decision.reason = std::move(reason);
    decision.refused = true;
    return decision;
}

}  // namespace

std::string RemoteLargerText(std::int64_t remoteSize, std::int64_t localSize) {
    return "服务器上的文件(" + std::to_string(remoteSize) + "字节)比本地文件(" + std::to_string(localSize) +
           "字节)大, 无法续传";
}

RemoteFile RemoteFileFrom(int sizeCode, std::int64_t size, int mdtmCode, std::optional<std::string> modified,
                          bool binary) {
    RemoteFile remote;
    remote.modified = mdtmCode == 213 ? std::move(modified) : std::nullopt;
    if (sizeCode == 213 && size >= 0) {
        remote.existence = RemoteExistence::Present;
        remote.size = size;
    } else if (mdtmCode == 213 && remote.modified) {
        remote.existence = RemoteExistence::Present;
    } else if (mdtmCode == 550 || (binary && sizeCode == 550)) {
        remote.existence = RemoteExistence::Absent;
    }
    return remote;
}

ProofWanted ProofFor(int flags, const RemoteFile& remote, std::int64_t localSize, bool binary) {
    const int flag = DecidingFlag(flags);
    if (flag != UploadResume && flag != UploadUpdate) return ProofWanted::None;
    if (!binary || remote.existence != RemoteExistence::Present || remote.size < 0) return ProofWanted::None;
    if (remote.size == localSize) return ProofWanted::SameFile;
    if (remote.size > 0 && remote.size < localSize) return ProofWanted::Prefix;
    return ProofWanted::None;
}

UploadDecision DecideUpload(int flags, const RemoteFile& remote, std::int64_t localSize, bool proven) {
    const bool present = remote.existence == RemoteExistence::Present;
    const bool unknown = remote.existence == RemoteExistence::Unknown;
    switch (DecidingFlag(flags)) {
        case UploadResume: {
            if (remote.existence == RemoteExistence::Absent) return Decision(UploadMode::FromZero);
            if (remote.size < 0) return Refusal(kResumeRefusedText);
            if (remote.size > localSize) return Refusal(RemoteLargerText(remote.size, localSize));
            if (remote.size == 0 && localSize > 0) return Decision(UploadMode::Replace);
            if (!proven) return Refusal(kResumeRefusedText);
            if (remote.size == localSize) return Decision(UploadMode::Nothing, remote.size, kSameFileText);
            return Decision(UploadMode::Resume, remote.size, kResumeProvenText);
        }
        case UploadReplace:
            return Decision(present || unknown ? UploadMode::Replace : UploadMode::FromZero);
        case UploadAlternativeName:
            if (unknown) return Refusal(kExistenceUnknownText);
            return Decision(present ? UploadMode::AlternativeName : UploadMode::FromZero);
        case UploadSkip:
            return Decision(UploadMode::Nothing);
        case UploadUpdate: {
            if (!present) return Decision(unknown ? UploadMode::Replace : UploadMode::FromZero);
            const ProofWanted wanted = ProofFor(flags, remote, localSize, true);
            if (proven && wanted == ProofWanted::SameFile)
                return Decision(UploadMode::Nothing, remote.size, kSameFileText);
            if (proven && wanted == ProofWanted::Prefix)
                return Decision(UploadMode::Resume, remote.size, kResumeProvenText);
            return Decision(UploadMode::Replace, 0, kReplaceText);
        }
        default:
            return Decision(UploadMode::FromZero);
    }
}

}  // namespace downlib

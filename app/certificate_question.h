// The window's answer to a server certificate that nothing vouches for: a
// dialog that shows what the certificate says and lets the user trust it for
// this run, trust it always, or refuse it. Certificates trusted for this run
// are remembered, so that the transfers of the same session do not ask again.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"

namespace app {

struct App;

// The button texts, the refusal last.
inline constexpr const char* kTrustOnceButton = "仅本次信任";
inline constexpr const char* kTrustAlwaysButton = "总是信任";
inline constexpr const char* kRefuseButton = "取消";
inline constexpr const char* kCertificateCaption = "服务器证书";

// What the dialog says about `question`: a changed certificate names both
// fingerprints first.
std::string CertificateQuestionText(const downlib::CertificateQuestion& question);

// Fingerprints the user trusted for this run, shared by every session the
// window starts (the question runs on the threads that connect).
struct TrustedThisRun {
    std::mutex lock;
    std::vector<std::string> fingerprints;
};

// The trust of a session the window starts: the trusted-always file beside
// the settings file, the fingerprints trusted for this run, and the dialog.
downlib::TlsTrust WindowTrust(const App& app, const std::shared_ptr<TrustedThisRun>& trusted);

}  // namespace app

#include "app/certificate_question.h"

#include "app/app.h"
#include "toolkit/toolkit.h"

namespace app {
namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

std::string CertificateQuestionText(const downlib::CertificateQuestion& q) {
    const std::string where = q.host + ":" + std::to_string(q.port);
    std::string text;
    if (!q.knownFingerprint.empty()) {
        text = "警告: 服务器 " + where +
               " 出示的证书与以前总是信任的证书不同, 可能有人冒充该服务器。\n"
               "以前信任的SHA-256指纹: " +
               q.knownFingerprint + "\n现在出示的SHA-256指纹: " + q.fingerprint + "\n\n";
    } else {
        text = "服务器 " + where + " 的证书未能通过验证: " + q.problem + "\n\n";
    }
    text += "主题: " + q.subject + "\n颁发者: " + q.issuer + "\n有效期: " + q.notBefore + " 至 " +
            q.notAfter + "\nSHA-256指纹: " + q.fingerprint + "\n\n是否信任这个证书?";
    return text;
}

downlib::TlsTrust WindowTrust(const App& app, const std::shared_ptr<TrustedThisRun>& trusted) {
    downlib::TlsTrust trust;
    trust.storePath = FolderOf(app.settingsFile) + "/trusted-certificates.txt";
    {
        std::lock_guard guard(trusted->lock);
        trust.fingerprints = trusted->fingerprints;
    }
    trust.ask = [trusted](const downlib::CertificateQuestion& question) {
        {
            // Another session of this run was answered meanwhile.
            std::lock_guard guard(trusted->lock);
            for (const std::string& fingerprint : trusted->fingerprints)
                if (fingerprint == question.fingerprint && question.knownFingerprint.empty())
                    return downlib::CertificateAnswer::TrustOnce;
        }
        const int chosen = toolkit::ChoiceBox(CertificateQuestionText(question), kCertificateCaption,
                                              {kTrustOnceButton, kTrustAlwaysButton, kRefuseButton});
        if (chosen == 2 || chosen < 0) return downlib::CertificateAnswer::Refuse;
        std::lock_guard guard(trusted->lock);
        trusted->fingerprints.push_back(question.fingerprint);
        return chosen == 0 ? downlib::CertificateAnswer::TrustOnce : downlib::CertificateAnswer::TrustAlways;
    };
    return trust;
}

}  // namespace app

// Scripted answers to the window's dialogs for tests, and a record of every dialog shown.
#include <deque>
#include <mutex>
#include <utility>

#include "support/toolkit/testing.h"
#include "toolkit/qt_private.h"

namespace toolkit::testing {
namespace {

class DialogScript final : public DialogHook {
public:
    std::optional<bool> Input(const std::string& prompt, const std::string& title, const std::string& initial,
                              int type, std::string& entered) override {
        std::lock_guard lock(mutex);
        shown.push_back({"input", prompt, title, initial, type});
        if (!inputs.empty()) {
            auto [ok, text] = inputs.front();
            inputs.pop_front();
            if (ok) entered = text;
            return ok;
        }
        if (scriptedOnly) return false;
        return std::nullopt;
    }

    std::optional<int> Message(const std::string& text, int style, const std::string& caption) override {
        std::lock_guard lock(mutex);
        shown.push_back({"message", text, caption, {}, style});
        if (!messages.empty()) {
            const int answer = messages.front();
            messages.pop_front();
            return answer;
        }
        // Unanswered, a choice box is refused (its last button).
        if (scriptedOnly && style > kChoiceStyle) return style - kChoiceStyle - 1;
        if (scriptedOnly) return (style & 0x0F) == 0 ? kResultOk : kResultCancel;
        return std::nullopt;
    }

    bool About(const std::string& text, const std::string& caption) override {
        std::lock_guard lock(mutex);
        shown.push_back({"about", text, caption, {}, 0});
        return scriptedOnly;
    }

    std::mutex mutex;
    std::deque<std::pair<bool, std::string>> inputs;
    std::deque<int> messages;
    std::vector<ShownDialog> shown;
    bool scriptedOnly = false;
};

DialogScript& Script() {
    static DialogScript script;
    return script;
}

// A test program that links this file has its dialogs recorded from the start.
[[maybe_unused]] const bool kInstalled = [] {
    SetDialogHook(&Script());
    return true;
}();

}  // namespace

void ScriptInputAnswer(bool ok, const std::string& text) {
    std::lock_guard lock(Script().mutex);
    Script().inputs.emplace_back(ok, text);
}

void ScriptMessageAnswer(int result) {
    std::lock_guard lock(Script().mutex);
    Script().messages.push_back(result);
}

void SetScriptedDialogsOnly(bool on) {
    std::lock_guard lock(Script().mutex);
    Script().scriptedOnly = on;
}

std::vector<ShownDialog> TakeShownDialogs() {
    std::lock_guard lock(Script().mutex);
    std::vector<ShownDialog> shown;
    shown.swap(Script().shown);
    return shown;
}

void ClearDialogScript() {
    std::lock_guard lock(Script().mutex);
    Script().inputs.clear();
    Script().messages.clear();
    Script().shown.clear();
}

void SetScreenSize(int width, int height) { SetScreenSizeOverride(width, height); }

void ResetShutdown() { EndShutdown(); }

}  // namespace toolkit::testing

// The runtime on Qt: the application object, the event loop, calls carried
// out on the UI thread, dialogs (with scripted answers for tests), the screen
// size and text display.
#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QStyleFactory>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "toolkit/qt_caption_widgets.h"
#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

std::atomic<bool> shuttingDown{false};
std::atomic<int> screenWidthOverride{0};
std::atomic<int> screenHeightOverride{0};

std::atomic<DialogHook*> dialogHook{nullptr};

// Qt's own texts (the buttons of its dialogs, the edit menus) in Chinese, from
// the translations the set-up installs (Debian's qt6-translations-l10n).
// Without them the dialogs still read Chinese: they set their button texts.
void LoadChineseTranslation(QApplication& app) {
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(QStringLiteral("qtbase_zh_CN"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        // From here the application owns it and releases it with itself.
        translator->setParent(&app);
        app.installTranslator(translator.release());
        return;
    }
    std::fprintf(stderr, "qtbase_zh_CN.qm not found in %s: Qt's own texts stay English\n",
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath).toLocal8Bit().constData());
}

void SetUpLook(QApplication& app) {
    // One look on every desktop, so the pictures and the frames match.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(fusion);
    app.setQuitOnLastWindowClosed(true);
    // The form's geometry was made for a 9-point CJK font: at that size every
    // caption fits the room the form gives it.
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kFontPixels);
    app.setFont(font);
    LoadChineseTranslation(app);
}

// The texts of the standard buttons on the desktop the window was made for.
QString ButtonText(QMessageBox::StandardButton button) {
    switch (button) {
        case QMessageBox::Ok:
            return QStringLiteral("确定");
        case QMessageBox::Cancel:
            return QStringLiteral("取消");
        case QMessageBox::Abort:
            return QStringLiteral("中止");
        case QMessageBox::Retry:
            return QStringLiteral("重试");
        case QMessageBox::Ignore:
            return QStringLiteral("忽略");
        case QMessageBox::Yes:
            return QStringLiteral("是");
        case QMessageBox::No:
            return QStringLiteral("否");
        default:
            return {};
    }
}

struct PendingCall {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

}  // namespace

struct Runtime::Impl {
    std::unique_ptr<QApplication> app;
};

Runtime::Runtime(int& argc, char** argv) : d_(std::make_unique<Impl>()) {
    d_->app = std::make_unique<QApplication>(argc, argv);
    SetUpLook(*d_->app);
}

Runtime::~Runtime() = default;

int Runtime::Run() { return QApplication::exec(); }

namespace {

// The off-screen platform warns about every window resize; that says nothing
// about the program.
QtMessageHandler previousHandler = nullptr;

void QuietOffscreenWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("does not support propagateSizeHints"))) return;
    if (previousHandler != nullptr) {
        previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

void EnsureApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "quorvel-ftp-tests";
    static char* argv[] = {name, nullptr};
    // Lives until the process ends: test programs have no main of their own
    // that could own it, and tearing Qt down during static destruction
    // crashes in its own global objects.
    static auto* app = new QApplication(argc, argv);
    SetUpLook(*app);
    previousHandler = qInstallMessageHandler(QuietOffscreenWarnings);
}

void ProcessPendingEvents() {
    if (QCoreApplication::instance() == nullptr || !IsUiThread()) return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RunEventLoopFor(int milliseconds) {
    if (QCoreApplication::instance() == nullptr || !IsUiThread()) return;
    QEventLoop loop;
    QTimer::singleShot(std::max(milliseconds, 0), &loop, &QEventLoop::quit);
    loop.exec();
}

bool IsUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

bool RunOnUiThread(const std::function<void()>& fn) {
    if (IsUiThread()) {
        fn();
        return true;
    }
    if (shuttingDown.load()) return false;
    auto call = std::make_shared<PendingCall>();
    // Qt's event queue synchronises with futexes ThreadSanitizer cannot see;
    // this lock makes the hand-over of the call (and of everything the caller
    // wrote before it) visible. It is held only while the call is posted.
    static std::mutex handOver;
    std::unique_lock posting(handOver);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [call, &fn] {
            { std::lock_guard received(handOver); }
            // Once shut-down has begun the caller may already have left, and
            // fn refers to its stack: never run it then.
            if (!shuttingDown.load()) fn();
            std::lock_guard lock(call->mutex);
            call->finished = true;
            call->done.notify_all();
        },
        Qt::QueuedConnection);
    posting.unlock();
    std::unique_lock lock(call->mutex);
    while (!call->finished) {
        if (shuttingDown.load()) return false;
        call->done.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

void BeginShutdown() { shuttingDown.store(true); }
void EndShutdown() { shuttingDown.store(false); }

void SetDialogHook(DialogHook* hook) { dialogHook.store(hook); }

void SetScreenSizeOverride(int width, int height) {
    screenWidthOverride.store(width);
    screenHeightOverride.store(height);
}
bool IsShuttingDown() { return shuttingDown.load(); }

int ScreenWidth() {
    if (int w = screenWidthOverride.load(); w > 0) return w;
    return OnUi([] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen != nullptr ? screen->size().width() : 1024;
    });
}

int ScreenHeight() {
    if (int h = screenHeightOverride.load(); h > 0) return h;
    return OnUi([] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen != nullptr ? screen->size().height() : 768;
    });
}

bool SetProgramIcon(const std::vector<std::string>& pngImages) {
    return OnUi([&] {
        QIcon icon;
        for (const std::string& png : pngImages) {
            QPixmap picture;
            if (picture.loadFromData(reinterpret_cast<const uchar*>(png.data()),
                                     static_cast<uint>(png.size()), "PNG"))
                icon.addPixmap(picture);
        }
        if (icon.isNull()) return false;
        QApplication::setWindowIcon(icon);
        return true;
    });
}

void SetDesktopEntryName(const std::string& name) {
    OnUi([&] { QGuiApplication::setDesktopFileName(QString::fromUtf8(Bytes(name))); });
}

QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

std::string FromBytes(const QByteArray& b) {
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

QString ShowText(const std::string& bytes) {
    if (IsValidUtf8(bytes)) return QString::fromUtf8(Bytes(bytes));
    return QString::fromUtf8(Bytes(GbkToUtf8(bytes)));
}

QString ShowForeign(const std::string& bytes, bool asGbk) {
    if (asGbk) return QString::fromUtf8(Bytes(GbkToUtf8(bytes)));
    return QString::fromUtf8(Bytes(Utf8Lossy(bytes)));
}

namespace {

QWidget* DialogParent() {
    if (QWidget* active = QApplication::activeWindow()) return active;
    const auto tops = QApplication::topLevelWidgets();
    for (QWidget* w : tops) {
        if (w->isVisible() && w->isWindow()) return w;
    }
    return nullptr;
}

int ShowMessageBox(const std::string& text, int style, const std::string& caption) {
    QMessageBox box(DialogParent());
    box.setWindowTitle(ShowText(caption));
    // Windows line ends would show as a stray glyph before each break.
    box.setText(ShowText(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    box.setWindowModality(Qt::ApplicationModal);
    switch (style & 0xF0) {
        case kMbIconError:
            box.setIcon(QMessageBox::Critical);
            break;
        case kMbIconQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kMbIconExclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case kMbIconInformation:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    struct Choice {
        QMessageBox::StandardButton button;
        int result;
    };
    std::vector<Choice> choices;
    switch (style & 0x0F) {
        case 1:
            choices = {{QMessageBox::Ok, 0}, {QMessageBox::Cancel, 1}};
            break;
        case 2:
            choices = {{QMessageBox::Abort, 2}, {QMessageBox::Retry, 3}, {QMessageBox::Ignore, 4}};
            break;
        case 3:
            choices = {{QMessageBox::Yes, 5}, {QMessageBox::No, 6}, {QMessageBox::Cancel, 1}};
            break;
        case 4:
            choices = {{QMessageBox::Yes, 5}, {QMessageBox::No, 6}};
            break;
        case 5:
            choices = {{QMessageBox::Retry, 3}, {QMessageBox::Cancel, 1}};
            break;
        default:
            choices = {{QMessageBox::Ok, 0}};
            break;
    }
    QMessageBox::StandardButtons buttons;
    for (const auto& c : choices) buttons |= c.button;
    box.setStandardButtons(buttons);
    for (const auto& c : choices) {
        if (QAbstractButton* b = box.button(c.button)) b->setText(ButtonText(c.button));
    }
    const int clicked = box.exec();
    for (const auto& c : choices) {
        if (clicked == c.button) return c.result;
    }
    // Closing the box counts as its cancel (or only) button.
    return choices.size() > 1 ? 1 : 0;
}

}  // namespace

bool InputBox(const std::string& prompt, const std::string& title, const std::string& initial, int type,
              std::string& entered) {
    return OnUi([&] {
        if (DialogHook* hook = dialogHook.load()) {
            if (const std::optional<bool> answer = hook->Input(prompt, title, initial, type, entered))
                return *answer;
        }
        // The window has gone: nobody is there to answer.
        if (shuttingDown.load()) return false;
        const int clamped = std::clamp(type, 1, 4);
        QInputDialog dialog(DialogParent());
        dialog.setWindowTitle(ShowText(title));
        dialog.setLabelText(ShowText(prompt));
        dialog.setTextEchoMode(clamped == 4 ? QLineEdit::Password : QLineEdit::Normal);
        dialog.setTextValue(ShowText(initial));
        dialog.setOkButtonText(ButtonText(QMessageBox::Ok));
        dialog.setCancelButtonText(ButtonText(QMessageBox::Cancel));
        if (dialog.exec() != QDialog::Accepted) return false;
        entered = dialog.textValue().toUtf8().toStdString();
        return true;
    });
}

int MessageBox(const std::string& text, int style, const std::string& caption) {
    return OnUi([&] {
        if (DialogHook* hook = dialogHook.load()) {
            if (const std::optional<int> answer = hook->Message(text, style, caption)) return *answer;
        }
        if (shuttingDown.load()) return (style & 0x0F) == 0 ? kResultOk : kResultCancel;
        return ShowMessageBox(text, style, caption);
    });
}

int ChoiceBox(const std::string& text, const std::string& caption, const std::vector<std::string>& buttons) {
    const int refusal = static_cast<int>(buttons.size()) - 1;
    return OnUi([&] {
        const int style = kChoiceStyle + static_cast<int>(buttons.size());
        if (DialogHook* hook = dialogHook.load()) {
            if (const std::optional<int> answer = hook->Message(text, style, caption))
                return std::clamp(*answer, 0, std::max(refusal, 0));
        }
        if (shuttingDown.load() || buttons.empty()) return refusal;
        QMessageBox box(DialogParent());
        box.setWindowTitle(ShowText(caption));
        box.setText(ShowText(text));
        box.setIcon(QMessageBox::Warning);
        box.setWindowModality(Qt::ApplicationModal);
        std::vector<QAbstractButton*> added;
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            const bool last = static_cast<int>(i) == refusal;
            added.push_back(box.addButton(ShowText(buttons[i]),
                                          last ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
        }
        box.setDefaultButton(qobject_cast<QPushButton*>(added.back()));
        box.setEscapeButton(added.back());
        box.exec();
        const auto chosen = std::find(added.begin(), added.end(), box.clickedButton());
        return chosen == added.end() ? refusal : static_cast<int>(chosen - added.begin());
    });
}

void AboutBox(const std::string& text, const std::string& caption) {
    OnUi([&] {
        if (DialogHook* hook = dialogHook.load(); hook != nullptr && hook->About(text, caption)) return;
        QMessageBox box(DialogParent());
        box.setWindowTitle(ShowText(caption));
        box.setText(ShowText(text));
        const QIcon icon = QApplication::windowIcon();
        if (icon.isNull()) {
            box.setIcon(QMessageBox::Information);
        } else {
            box.setIconPixmap(icon.pixmap(64, 64));
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    });
}

}  // namespace toolkit

// The top-level window on Qt (a menu bar above a client area of placed controls), its menus, the timer.
#include <QCloseEvent>
#include <QCursor>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

// The client area keeps a docked status bar along its bottom edge.
class ClientWidget : public QWidget {
public:
    QPointer<QWidget> dockedBottom;

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        Dock();
    }

public:
    void Dock() {
        if (dockedBottom) {
            const int h = dockedBottom->height();
            dockedBottom->setGeometry(0, height() - h, width(), h);
        }
    }
};

// The top-level widget: reports size changes and closes.
class TopWidget : public QWidget {
public:
    explicit TopWidget(Control::Impl* owner) : owner_(owner) {}

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        // The handler lays the controls out from the client area and the
        // status bar; when the window is first shown their own resizes
        // would only come after this one.
        if (layout() != nullptr) layout()->activate();
        if (auto* client = WidgetAs<ClientWidget>(*owner_, &Control::Impl::client)) client->Dock();
        if (owner_->onSizeChanged) owner_->onSizeChanged();
    }
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (event->isAccepted() && owner_->onClosed) owner_->onClosed();
    }

private:
    Control::Impl* owner_;
};

}  // namespace

// ---- Window -----------------------------------------------------------------

Window::Window() = default;
Window::~Window() = default;

void Window::Create(const std::string& caption, const Rect& outer) {
    OnUi([&] {
        auto top = std::make_unique<TopWidget>(d_.get());
        auto* layout = new QVBoxLayout(top.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        auto* bar = new QMenuBar(top.get());
        layout->setMenuBar(bar);
        auto* client = new ClientWidget();
        layout->addWidget(client, 1);
        d_->kind = Kind::Window;
        d_->widget = top.get();
        d_->client = client;
        d_->menuBar = bar;
        d_->owned = std::move(top);
        SetText(caption);
        d_->widget->setGeometry(outer.left, outer.top, outer.width, outer.height);
    });
}

void Window::OnCreated(std::function<void()> handler) { d_->onCreated = std::move(handler); }
void Window::OnSizeChanged(std::function<void()> handler) { d_->onSizeChanged = std::move(handler); }
void Window::OnClosed(std::function<void()> handler) { d_->onClosed = std::move(handler); }

void Window::SetMaximized() {
    OnUi([&] {
        d_->maximizeOnShow = true;
        if (d_->widget && d_->widget->isVisible()) d_->widget->showMaximized();
    });
}

void Window::Show() {
    OnUi([&] {
        if (!d_->widget) return;
        if (!d_->createdRan) {
            d_->createdRan = true;
            if (d_->onCreated) d_->onCreated();
        }
        if (d_->maximizeOnShow) {
            // Without a window manager nobody honours the maximized state;
            // the screen's work area is the same thing then.
            if (const QScreen* screen = d_->widget->screen())
                d_->widget->setGeometry(screen->availableGeometry());
            d_->widget->showMaximized();
        } else {
            d_->widget->show();
        }
    });
}

void Window::Close() {
    OnUi([&] {
        if (d_->widget) d_->widget->close();
    });
}

int Window::ClientWidth() const {
    return OnUi([&] { return d_->client ? d_->client->width() : 0; });
}

int Window::ClientHeight() const {
    return OnUi([&] { return d_->client ? d_->client->height() : 0; });
}

void DockAtBottom(Control::Impl& window, QWidget* bar) {
    if (auto* client = WidgetAs<ClientWidget>(window, &Control::Impl::client)) {
        client->dockedBottom = bar;
        client->Dock();
    }
}

// ---- Timer ------------------------------------------------------------------

struct Timer::Impl {
    std::unique_ptr<QTimer> timer;
    std::function<void()> handler;
};

Timer::Timer() : d_(std::make_unique<Impl>()) {}

Timer::~Timer() {
    OnUi([&] { d_->timer.reset(); });
}

void Timer::Start(int periodMs, std::function<void()> handler) {
    OnUi([&] {
        d_->handler = std::move(handler);
        if (!d_->timer) {
            d_->timer = std::make_unique<QTimer>();
            QObject::connect(d_->timer.get(), &QTimer::timeout, d_->timer.get(), [d = d_.get()] {
                if (d->handler) d->handler();
            });
        }
        d_->timer->start(std::max(1, periodMs));
    });
}

void Timer::Stop() {
    OnUi([&] {
        if (d_->timer) d_->timer->stop();
    });
}

bool Timer::Running() const {
    return OnUi([&] { return d_->timer && d_->timer->isActive(); });
}

// ---- Menu -------------------------------------------------------------------

struct Menu::Impl {
    QPointer<QMenu> menu;
};

Menu::Menu() : d_(std::make_unique<Impl>()) {}
Menu::~Menu() = default;

void Menu::Create(Window& owner, const std::string& title, bool inMenuBar) {
    OnUi([&] {
        auto* menu = new QMenu(ShowText(title), owner.impl().widget);
        d_->menu = menu;
        if (inMenuBar && owner.impl().menuBar) owner.impl().menuBar->addMenu(menu);
    });
}

void Menu::AddItem(const std::string& text, std::function<void()> handler) {
    OnUi([&] {
        if (!d_->menu) return;
        QAction* action = d_->menu->addAction(ShowText(text));
        QObject::connect(action, &QAction::triggered, action, [h = std::move(handler)] {
            if (h) h();
        });
    });
}

void Menu::AddSeparator() {
    OnUi([&] {
        if (d_->menu) d_->menu->addSeparator();
    });
}

std::vector<std::string> Menu::Items() const {
    return OnUi([&] {
        std::vector<std::string> items;
        if (!d_->menu) return items;
        for (QAction* a : d_->menu->actions())
            items.push_back(a->isSeparator() ? "" : a->text().toStdString());
        return items;
    });
}

void Menu::PopupAtMouse() {
    OnUi([&] {
        if (d_->menu) d_->menu->popup(QCursor::pos() + QPoint(3, 3));
    });
}

bool Menu::Choose(const std::string& itemText) {
    return OnUi([&] {
        if (!d_->menu) return false;
        for (QAction* a : d_->menu->actions()) {
            if (!a->isSeparator() && a->text().toStdString() == itemText) {
                d_->menu->hide();
                a->trigger();
                return true;
            }
        }
        return false;
    });
}

}  // namespace toolkit

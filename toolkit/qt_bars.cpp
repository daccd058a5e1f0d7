// The bars on Qt: the status bar with its framed panes, the progress bar and the splitter bar.
#include <qdrawutil.h>

#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <algorithm>

#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

class StatusBarWidget : public QWidget {
public:
    explicit StatusBarWidget(Control::Impl* owner) : owner_(owner) {}

    QRect PaneRect(int pane) const {
        int left = 0;
        for (int i = 0; i < pane; ++i) left += owner_->panes[static_cast<std::size_t>(i)].width;
        const int w = owner_->panes[static_cast<std::size_t>(pane)].width;
        // A pane is framed; the rectangle is the inside of its frame.
        return QRect(left + 1, 2, std::max(0, w - 3), std::max(0, height() - 4));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().window());
        for (std::size_t i = 0; i < owner_->panes.size(); ++i) {
            const QRect inner = PaneRect(static_cast<int>(i));
            const QRect frame = inner.adjusted(-1, -1, 1, 1);
            qDrawShadePanel(&p, frame, palette(), true, 1);
            p.setPen(palette().windowText().color());
            const QString text = fontMetrics().elidedText(owner_->panes[i].shown, Qt::ElideRight,
                                                          std::max(0, inner.width() - 6));
            p.drawText(inner.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft, text);
        }
    }

private:
    Control::Impl* owner_;
};

class SplitterWidget : public QWidget {
public:
    SplitterWidget(Control::Impl* owner, SplitterKind kind) : owner_(owner), kind_(kind) {
        setCursor(kind == SplitterKind::Horizontal ? Qt::SplitVCursor : Qt::SplitHCursor);
        setAttribute(Qt::WA_Hover);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().mid());
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        dragging_ = true;
        grab_ = event->position().toPoint();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (dragging_) Report(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (!dragging_ || event->button() != Qt::LeftButton) return;
        Report(event);
        dragging_ = false;
    }

private:
    // The new edge in the coordinates of the container the bar lives in.
    void Report(QMouseEvent* event) {
        QWidget* container = parentWidget();
        if (container == nullptr) return;
        const QPoint at = container->mapFromGlobal(event->globalPosition().toPoint()) - grab_;
        const int position = kind_ == SplitterKind::Horizontal ? at.y() : at.x();
        const int current = kind_ == SplitterKind::Horizontal ? y() : x();
        if (position != current && owner_->onDragged) owner_->onDragged(position);
    }

    Control::Impl* owner_;
    SplitterKind kind_;
    bool dragging_ = false;
    QPoint grab_;
};

}  // namespace

// ---- StatusBar --------------------------------------------------------------

void StatusBar::Create(Window& window, int height) {
    OnUi([&] {
        const QWidget* client = window.impl().client;
        if (client == nullptr) return;
        auto* bar = new StatusBarWidget(d_.get());
        Place(*d_, bar, window, Rect{0, client->height() - height, client->width(), height}, Kind::StatusBar);
        d_->client = bar;
        DockAtBottom(window.impl(), bar);
    });
}

int StatusBar::AddPane(const std::string& text, int width) {
    return OnUi([&] {
        d_->panes.push_back(Pane{ShowText(text), text, width});
        if (d_->widget) d_->widget->update();
        return static_cast<int>(d_->panes.size()) - 1;
    });
}

int StatusBar::PaneCount() const {
    return OnUi([&] { return static_cast<int>(d_->panes.size()); });
}

void StatusBar::SetPaneText(int pane, const std::string& text) {
    OnUi([&] {
        if (pane < 0 || pane >= static_cast<int>(d_->panes.size())) return;
        auto& p = d_->panes[static_cast<std::size_t>(pane)];
        p.bytes = text;
        p.shown = ShowText(text);
        if (d_->widget) d_->widget->update();
    });
}

std::string StatusBar::PaneText(int pane) const {
    return OnUi([&]() -> std::string {
        if (pane < 0 || pane >= static_cast<int>(d_->panes.size())) return {};
        return d_->panes[static_cast<std::size_t>(pane)].bytes;
    });
}

void StatusBar::SetPaneWidth(int pane, int width) {
    OnUi([&] {
        if (pane < 0 || pane >= static_cast<int>(d_->panes.size())) return;
        d_->panes[static_cast<std::size_t>(pane)].width = std::max(0, width);
        if (d_->widget) d_->widget->update();
    });
}

Rect StatusBar::PaneRect(int pane) const {
    return OnUi([&] {
        const auto* bar = WidgetAs<StatusBarWidget>(*d_);
        if (bar == nullptr || pane < 0 || pane >= static_cast<int>(d_->panes.size())) return Rect{};
        const QRect r = bar->PaneRect(pane);
        return Rect{r.x(), r.y(), r.width(), r.height()};
    });
}

// ---- ProgressBar ------------------------------------------------------------

void ProgressBar::Create(Control& parent, const Rect& r) {
    OnUi([&] {
        auto* bar = new QProgressBar();
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        Place(*d_, bar, parent, r, Kind::ProgressBar);
    });
}

void ProgressBar::SetPosition(int position) {
    OnUi([&] {
        if (auto* bar = WidgetAs<QProgressBar>(*d_)) bar->setValue(std::clamp(position, 0, 100));
    });
}

int ProgressBar::Position() const {
    return ReadWidget<QProgressBar>(*d_, 0, [](const QProgressBar& bar) { return bar.value(); });
}

// ---- Splitter ---------------------------------------------------------------

void Splitter::Create(Control& parent, const Rect& r, SplitterKind kind) {
    OnUi([&] {
        auto* bar = new SplitterWidget(d_.get(), kind);
        Place(*d_, bar, parent, r, Kind::Splitter);
        // A 2-pixel bar is hard to catch; the cursor shape tells where it is.
        bar->raise();
    });
}

void Splitter::OnDragged(std::function<void(int)> handler) { d_->onDragged = std::move(handler); }

}  // namespace toolkit

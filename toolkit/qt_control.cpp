// What every control shares on Qt (text, geometry, visibility, repaint) and where its widget is placed.
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

// What a control hands back is the bytes it was given, as long as the user
// has not changed what it shows.
std::string BackBytes(const Control::Impl& d, const QString& shown) {
    if (shown == d.textShown) return d.textBytes;
    return shown.toUtf8().toStdString();
}

QLineEdit* EditOf(const Control::Impl& d) {
    if (d.kind == Kind::EditBox) return WidgetAs<QLineEdit>(d);
    if (d.kind == Kind::ComboBox) {
        auto* combo = WidgetAs<QComboBox>(d);
        return combo != nullptr ? combo->lineEdit() : nullptr;
    }
    return nullptr;
}

QWidget* RepaintTarget(const Control::Impl& d) {
    if (auto* view = WidgetAs<QAbstractScrollArea>(d)) return view->viewport();
    return d.widget.data();
}

// One side or one extent of the control's geometry changed, the rest kept.
void SetGeometryField(Control& control, int Rect::*field, int value) {
    OnUi([&] {
        Rect g = control.Geometry();
        g.*field = value;
        control.SetGeometry(g);
    });
}

QPointer<QWidget>& Suspended() {
    static QPointer<QWidget> suspended;
    return suspended;
}

}  // namespace

QWidget* ContainerOf(Control& parent) {
    auto& p = parent.impl();
    return p.client ? p.client.data() : p.widget.data();
}

void Place(Control::Impl& d, QWidget* w, Control& parent, const Rect& r, Kind kind) {
    d.kind = kind;
    d.widget = w;
    w->setParent(ContainerOf(parent));
    w->setGeometry(r.left, r.top, r.width, r.height);
    w->show();
}

void Remember(Control::Impl& d, const std::string& bytes, const QString& shown) {
    d.textBytes = bytes;
    d.textShown = shown;
}

// ---- Control ----------------------------------------------------------------

Control::Control() : d_(std::make_unique<Impl>()) {}
Control::~Control() = default;

void Control::SetAccessibleName(const std::string& name) {
    OnUi([&] {
        if (d_->widget) d_->widget->setAccessibleName(ShowText(name));
    });
}

std::string Control::AccessibleName() const {
    return OnUi([&]() -> std::string {
        return d_->widget ? d_->widget->accessibleName().toUtf8().toStdString() : std::string{};
    });
}

bool Control::Exists() const {
    return OnUi([&] { return !d_->widget.isNull(); });
}

Rect Control::Geometry() const {
    return OnUi([&] {
        if (!d_->widget) return Rect{};
        const QRect g = d_->kind == Kind::Window ? d_->widget->frameGeometry() : d_->widget->geometry();
        return Rect{g.x(), g.y(), g.width(), g.height()};
    });
}

int Control::Left() const { return Geometry().left; }
int Control::Top() const { return Geometry().top; }
int Control::Width() const { return Geometry().width; }
int Control::Height() const { return Geometry().height; }

void Control::SetGeometry(const Rect& r) {
    OnUi([&] {
        if (!d_->widget) return;
        if (d_->kind == Kind::Window) {
            // The rectangle is the outer one; Qt places the inner one.
            QWidget* w = d_->widget;
            const QRect frame = w->frameGeometry();
            const QRect inner = w->geometry();
            const int extraW = frame.width() - inner.width();
            const int extraH = frame.height() - inner.height();
            if (r.left != frame.x() || r.top != frame.y()) w->move(r.left, r.top);
            if (r.width != frame.width() || r.height != frame.height()) {
                w->resize(std::max(1, r.width - extraW), std::max(1, r.height - extraH));
            }
            return;
        }
        d_->widget->setGeometry(r.left, r.top, r.width, r.height);
        if (d_->kind == Kind::StatusBar) d_->widget->update();
    });
}

void Control::SetLeft(int v) { SetGeometryField(*this, &Rect::left, v); }
void Control::SetTop(int v) { SetGeometryField(*this, &Rect::top, v); }
void Control::SetWidth(int v) { SetGeometryField(*this, &Rect::width, v); }
void Control::SetHeight(int v) { SetGeometryField(*this, &Rect::height, v); }

bool Control::Visible() const {
    return OnUi([&] { return d_->widget && d_->widget->isVisible(); });
}

void Control::SetVisible(bool visible) {
    OnUi([&] {
        if (d_->widget) d_->widget->setVisible(visible);
    });
}

std::string Control::Text() const {
    return OnUi([&]() -> std::string {
        if (!d_->widget) return {};
        if (QLineEdit* edit = EditOf(*d_)) return BackBytes(*d_, edit->text());
        return d_->textBytes;
    });
}

void Control::SetText(const std::string& text) {
    OnUi([&] {
        if (!d_->widget) return;
        const QString shown = ShowText(text);
        Remember(*d_, text, shown);
        switch (d_->kind) {
            case Kind::Window:
                d_->widget->setWindowTitle(shown);
                break;
            case Kind::GroupBox:
                if (auto* box = WidgetAs<QGroupBox>(*d_)) box->setTitle(shown);
                break;
            case Kind::Label:
                if (auto* label = WidgetAs<QLabel>(*d_)) label->setText(shown);
                break;
            case Kind::Button:
                if (auto* button = WidgetAs<QPushButton>(*d_)) button->setText(shown);
                break;
            case Kind::EditBox:
            case Kind::ComboBox:
                if (QLineEdit* edit = EditOf(*d_)) edit->setText(shown);
                break;
            default:
                break;
        }
    });
}

void Control::RedrawNow() {
    OnUi([&] {
        if (QWidget* w = d_->widget) {
            w->repaint();
            if (QWidget* target = RepaintTarget(*d_); target != w) target->repaint();
        }
    });
}

// ---- free operations --------------------------------------------------------

void Reparent(Control& child, Control& newParent) {
    OnUi([&] {
        QWidget* w = child.impl().widget;
        QWidget* container = ContainerOf(newParent);
        if (w == nullptr || container == nullptr || w->parentWidget() == container) return;
        const bool visible = w->isVisible();
        w->setParent(container);
        if (visible) w->show();
    });
}

void SuspendRepaint(Control& control) {
    OnUi([&] {
        QPointer<QWidget>& suspended = Suspended();
        if (suspended && suspended != control.impl().widget) suspended->setUpdatesEnabled(true);
        suspended = control.impl().widget;
        if (suspended) suspended->setUpdatesEnabled(false);
    });
}

void ResumeRepaint(Control& control) {
    OnUi([&] {
        QPointer<QWidget>& suspended = Suspended();
        if (QWidget* w = control.impl().widget) w->setUpdatesEnabled(true);
        if (suspended == control.impl().widget) suspended = nullptr;
    });
}

}  // namespace toolkit

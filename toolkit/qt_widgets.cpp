// The controls on Qt Widgets: a top-level window with a menu bar and a client
// area in which every control is placed by absolute geometry, and the
// widgets the Application uses, each behind the toolkit's byte-text API.
#include <qdrawutil.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOption>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "toolkit/qt_caption_widgets.h"
#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

constexpr int kBytesRole = Qt::UserRole;
constexpr int kForeignRole = Qt::UserRole + 1;
constexpr int kRowDataRole = Qt::UserRole + 2;
constexpr int kIconRole = Qt::UserRole + 3;

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
        if (auto* client = static_cast<ClientWidget*>(owner_->client.data())) client->Dock();
        if (owner_->onSizeChanged) owner_->onSizeChanged();
    }
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (event->isAccepted() && owner_->onClosed) owner_->onClosed();
    }

private:
    Control::Impl* owner_;
};

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

// Key codes as the Application knows them.
int KeyCode(const QKeyEvent* e) {
    switch (e->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Escape:
            return 27;
        case Qt::Key_Backspace:
            return 8;
        case Qt::Key_Tab:
            return 9;
        case Qt::Key_Delete:
            return 46;
        default:
            break;
    }
    if (e->key() >= Qt::Key_A && e->key() <= Qt::Key_Z) return 'A' + (e->key() - Qt::Key_A);
    if (e->key() >= Qt::Key_0 && e->key() <= Qt::Key_9) return '0' + (e->key() - Qt::Key_0);
    if (e->key() > 0 && e->key() < 256) return e->key();
    return 0;
}

class KeyFilter : public QObject {
public:
    KeyFilter(QObject* parent, std::function<bool(QKeyEvent*)> fn) : QObject(parent), fn_(std::move(fn)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) return fn_(static_cast<QKeyEvent*>(event));
        return false;
    }

private:
    std::function<bool(QKeyEvent*)> fn_;
};

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

QTreeWidget* Tree(const Control::Impl& d) { return static_cast<QTreeWidget*>(d.widget.data()); }

QTreeWidgetItem* ItemAt(const Control::Impl& d, int row) {
    if (!d.widget || row < 0) return nullptr;
    return Tree(d)->topLevelItem(row);
}

// Shows every foreign cell of a list again, after the fill turned to GBK.
void ReshowForeign(Control::Impl& d) {
    QTreeWidget* tree = Tree(d);
    for (int r = 0; r < tree->topLevelItemCount(); ++r) {
        QTreeWidgetItem* item = tree->topLevelItem(r);
        for (int c = 0; c < tree->columnCount(); ++c) {
            if (item->data(c, kForeignRole).toBool()) {
                item->setText(c, ShowForeign(FromBytes(item->data(c, kBytesRole).toByteArray()), true));
            }
        }
    }
}

void SetItemText(Control::Impl& d, QTreeWidgetItem* item, int column, const std::string& text,
                 TextOrigin origin) {
    const bool foreign = origin == TextOrigin::Foreign;
    if (foreign && !d.foreignAsGbk && !IsValidUtf8(text)) {
        d.foreignAsGbk = true;
        ReshowForeign(d);
    }
    item->setData(column, kBytesRole, Bytes(text));
    item->setData(column, kForeignRole, foreign);
    item->setText(column, foreign ? ShowForeign(text, d.foreignAsGbk) : ShowText(text));
}

// The rest of the text model: what a control hands back is the bytes it was
// given, as long as the user has not changed what it shows.
std::string BackBytes(const Control::Impl& d, const QString& shown) {
    if (shown == d.textShown) return d.textBytes;
    return shown.toUtf8().toStdString();
}

void Remember(Control::Impl& d, const std::string& bytes, const QString& shown) {
    d.textBytes = bytes;
    d.textShown = shown;
}

QLineEdit* EditOf(const Control::Impl& d) {
    if (!d.widget) return nullptr;
    if (d.kind == Kind::EditBox) return static_cast<QLineEdit*>(d.widget.data());
    if (d.kind == Kind::ComboBox) return static_cast<QComboBox*>(d.widget.data())->lineEdit();
    return nullptr;
}

QWidget* RepaintTarget(const Control::Impl& d) {
    if (auto* view = qobject_cast<QAbstractScrollArea*>(d.widget.data())) return view->viewport();
    return d.widget.data();
}

QPointer<QWidget>& Suspended() {
    static QPointer<QWidget> suspended;
    return suspended;
}

}  // namespace

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

void Control::SetLeft(int v) {
    OnUi([&] {
        Rect g = Geometry();
        g.left = v;
        SetGeometry(g);
    });
}
void Control::SetTop(int v) {
    OnUi([&] {
        Rect g = Geometry();
        g.top = v;
        SetGeometry(g);
    });
}
void Control::SetWidth(int v) {
    OnUi([&] {
        Rect g = Geometry();
        g.width = v;
        SetGeometry(g);
    });
}
void Control::SetHeight(int v) {
    OnUi([&] {
        Rect g = Geometry();
        g.height = v;
        SetGeometry(g);
    });
}

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
                static_cast<QGroupBox*>(d_->widget.data())->setTitle(shown);
                break;
            case Kind::Label:
                static_cast<QLabel*>(d_->widget.data())->setText(shown);
                break;
            case Kind::Button:
                static_cast<QPushButton*>(d_->widget.data())->setText(shown);
                break;
            case Kind::EditBox:
            case Kind::ComboBox:
                EditOf(*d_)->setText(shown);
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

// ---- simple controls --------------------------------------------------------

void GroupBox::Create(Control& parent, const Rect& r, const std::string& caption) {
    OnUi([&] {
        auto* box = new GroupBoxWidget();
        Place(*d_, box, parent, r, Kind::GroupBox);
        SetText(caption);
    });
}

void Label::Create(Control& parent, const Rect& r, const std::string& caption) {
    OnUi([&] {
        auto* label = new QLabel();
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        Place(*d_, label, parent, r, Kind::Label);
        SetText(caption);
    });
}

void HyperLink::Create(Control& parent, const Rect& r, const std::string& caption,
                       const std::string& address) {
    OnUi([&] {
        auto* link = new HyperLinkWidget();
        Place(*d_, link, parent, r, Kind::HyperLink);
        const QString shown = ShowText(caption);
        Remember(*d_, caption, shown);
        link->SetLink(shown, ShowText(address));
    });
}

void Button::Create(Control& parent, const Rect& r, const std::string& caption) {
    OnUi([&] {
        auto* button = new QPushButton();
        Place(*d_, button, parent, r, Kind::Button);
        SetText(caption);
        QObject::connect(button, &QPushButton::clicked, button, [d = d_.get()] {
            if (d->onClicked) d->onClicked();
        });
    });
}

void Button::OnClicked(std::function<void()> handler) { d_->onClicked = std::move(handler); }

void Button::Click() {
    OnUi([&] {
        if (d_->widget) static_cast<QPushButton*>(d_->widget.data())->click();
    });
}

void EditBox::Create(Control& parent, const Rect& r, const std::string& text) {
    OnUi([&] {
        auto* edit = new QLineEdit();
        Place(*d_, edit, parent, r, Kind::EditBox);
        SetText(text);
    });
}

void EditBox::SetPasswordEntry() {
    OnUi([&] {
        if (!d_->widget) return;
        auto* edit = static_cast<QLineEdit*>(d_->widget.data());
        edit->setEchoMode(QLineEdit::Password);
        // The mask character the window's users know.
        edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    });
}

void EditBox::SetIntegerEntry() {
    OnUi([&] {
        if (!d_->widget) return;
        d_->widget->installEventFilter(new KeyFilter(d_->widget, [](QKeyEvent* e) {
            const QString t = e->text();
            if (t.isEmpty() || !t.at(0).isPrint()) return false;
            for (QChar c : t) {
                if (c != u'-' && !(c >= u'0' && c <= u'9')) return true;
            }
            return false;
        }));
    });
}

// ---- ListBox ----------------------------------------------------------------

void ListBox::Create(Control& parent, const Rect& r) {
    OnUi([&] {
        auto* list = new QListWidget();
        list->setUniformItemSizes(true);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        Place(*d_, list, parent, r, Kind::ListBox);
    });
}

int ListBox::AddLine(const std::string& text) {
    return OnUi([&] {
        if (!d_->widget) return -1;
        auto* list = static_cast<QListWidget*>(d_->widget.data());
        auto* item = new QListWidgetItem(ShowText(text));
        item->setData(kBytesRole, Bytes(text));
        list->addItem(item);
        return list->count() - 1;
    });
}

int ListBox::LineCount() const {
    return OnUi([&] { return d_->widget ? static_cast<QListWidget*>(d_->widget.data())->count() : 0; });
}

std::string ListBox::LineText(int index) const {
    return OnUi([&]() -> std::string {
        if (!d_->widget) return {};
        const QListWidgetItem* item = static_cast<QListWidget*>(d_->widget.data())->item(index);
        return item != nullptr ? FromBytes(item->data(kBytesRole).toByteArray()) : std::string{};
    });
}

void ListBox::SetTopLine(int index) {
    OnUi([&] {
        if (!d_->widget) return;
        auto* list = static_cast<QListWidget*>(d_->widget.data());
        if (QListWidgetItem* item = list->item(index))
            list->scrollToItem(item, QAbstractItemView::PositionAtTop);
    });
}

int ListBox::TopLine() const {
    return OnUi([&] {
        if (!d_->widget) return -1;
        auto* list = static_cast<QListWidget*>(d_->widget.data());
        const QModelIndex top = list->indexAt(QPoint(2, 2));
        return top.isValid() ? top.row() : -1;
    });
}

// ---- ComboBox ---------------------------------------------------------------

void ComboBox::Create(Control& parent, const Rect& r) {
    OnUi([&] {
        auto* combo = new QComboBox();
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setMaxVisibleItems(20);
        Place(*d_, combo, parent, r, Kind::ComboBox);
        Control::Impl* d = d_.get();
        QObject::connect(combo, &QComboBox::activated, combo, [d, combo](int index) {
            // The edit text holds the chosen entry, with its own bytes.
            const std::string bytes = FromBytes(combo->itemData(index, kBytesRole).toByteArray());
            const QString shown = combo->itemText(index);
            combo->lineEdit()->setText(shown);
            Remember(*d, bytes, shown);
            if (d->onEntrySelected) d->onEntrySelected();
        });
        // Only a pick from the drop-down chooses an entry. Qt's own line edit
        // would complete a typed "/" into an entry inline, and on Enter or on
        // leaving the combo it picks the entry that matches the text: typing
        // and leaving would then list and save the typed text.
        combo->setCompleter(nullptr);
        QObject::disconnect(combo->lineEdit(), &QLineEdit::editingFinished, combo, nullptr);
        QObject::disconnect(combo->lineEdit(), &QLineEdit::returnPressed, combo, nullptr);
        // Real keys reach the combo, the focus widget, which hands them to
        // its line edit directly, past any filter there: the keys are
        // watched on the combo itself.
        combo->installEventFilter(new KeyFilter(combo, [d](QKeyEvent* e) {
            const int code = KeyCode(e);
            if (d->onKey && code != 0) d->onKey(code);
            // Enter acts only through the key handler.
            return code == 13;
        }));
    });
}

std::string ComboBox::EditText() const { return Text(); }
void ComboBox::SetEditText(const std::string& text) { SetText(text); }

int ComboBox::AddEntry(const std::string& text) {
    return OnUi([&] {
        if (!d_->widget) return -1;
        auto* combo = static_cast<QComboBox*>(d_->widget.data());
        // Adding an entry to an empty editable combo would select it and
        // replace the edit text; keep the text the program set.
        const QString keep = combo->lineEdit()->text();
        const int index = combo->count();
        combo->addItem(ShowText(text), Bytes(text));
        combo->setItemData(index, Bytes(text), kBytesRole);
        if (combo->lineEdit()->text() != keep) combo->lineEdit()->setText(keep);
        return index;
    });
}

int ComboBox::EntryCount() const {
    return OnUi([&] { return d_->widget ? static_cast<QComboBox*>(d_->widget.data())->count() : 0; });
}

std::string ComboBox::EntryText(int index) const {
    return OnUi([&]() -> std::string {
        if (!d_->widget) return {};
        auto* combo = static_cast<QComboBox*>(d_->widget.data());
        if (index < 0 || index >= combo->count()) return {};
        return FromBytes(combo->itemData(index, kBytesRole).toByteArray());
    });
}

int ComboBox::CurrentSelection() const {
    return OnUi([&] { return d_->widget ? static_cast<QComboBox*>(d_->widget.data())->currentIndex() : -1; });
}

void ComboBox::SetCurrentSelection(int index) {
    OnUi([&] {
        if (!d_->widget) return;
        auto* combo = static_cast<QComboBox*>(d_->widget.data());
        if (index < 0 || index >= combo->count()) return;
        combo->setCurrentIndex(index);
        const QString shown = combo->itemText(index);
        combo->lineEdit()->setText(shown);
        Remember(*d_, FromBytes(combo->itemData(index, kBytesRole).toByteArray()), shown);
    });
}

void ComboBox::OnEntrySelected(std::function<void()> handler) { d_->onEntrySelected = std::move(handler); }
void ComboBox::OnKeyPressed(std::function<void(int)> handler) { d_->onKey = std::move(handler); }

// ---- ListView ---------------------------------------------------------------

void ListView::Create(Control& parent, const Rect& r) {
    OnUi([&] {
        auto* tree = new QTreeWidget();
        tree->setRootIsDecorated(false);
        tree->setItemsExpandable(false);
        tree->setUniformRowHeights(true);
        tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
        tree->setSelectionBehavior(QAbstractItemView::SelectRows);
        tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
        tree->setIconSize(QSize(16, 16));
        tree->setColumnCount(0);
        tree->header()->setStretchLastSection(false);
        // Column widths are the program's to set, down to a few pixels.
        tree->header()->setMinimumSectionSize(0);
        tree->header()->setSectionsMovable(false);
        tree->setContextMenuPolicy(Qt::CustomContextMenu);
        tree->setAllColumnsShowFocus(true);
        Place(*d_, tree, parent, r, Kind::ListView);
        Control::Impl* d = d_.get();
        QObject::connect(tree, &QTreeWidget::itemDoubleClicked, tree, [d](QTreeWidgetItem*, int) {
            if (d->onActivated) d->onActivated();
        });
        QObject::connect(tree, &QTreeWidget::customContextMenuRequested, tree, [d](const QPoint&) {
            if (d->onRightClick) d->onRightClick();
        });
    });
}

void ListView::AddColumn(const std::string& title, int width) {
    OnUi([&] {
        if (!d_->widget) return;
        QTreeWidget* tree = Tree(*d_);
        const int column = tree->columnCount();
        tree->setColumnCount(column + 1);
        tree->headerItem()->setText(column, ShowText(title));
        tree->setColumnWidth(column, width);
    });
}

int ListView::ColumnCount() const {
    return OnUi([&] { return d_->widget ? Tree(*d_)->columnCount() : 0; });
}

int ListView::ColumnWidth(int column) const {
    return OnUi([&] { return d_->widget ? Tree(*d_)->columnWidth(column) : 0; });
}

void ListView::SetColumnWidth(int column, int width) {
    OnUi([&] {
        if (d_->widget && column >= 0 && column < Tree(*d_)->columnCount()) {
            Tree(*d_)->setColumnWidth(column, std::max(0, width));
        }
    });
}

int ListView::InsertRow(int position, const std::string& text, int icon, TextOrigin origin) {
    return OnUi([&] {
        if (!d_->widget) return -1;
        QTreeWidget* tree = Tree(*d_);
        const int count = tree->topLevelItemCount();
        const int row = (position < 0 || position > count) ? count : position;
        auto* item = new QTreeWidgetItem();
        tree->insertTopLevelItem(row, item);
        SetItemText(*d_, item, 0, text, origin);
        item->setData(0, kIconRole, icon);
        item->setIcon(0, ImageIcon(icon));
        return row;
    });
}

void ListView::SetCellText(int row, int column, const std::string& text, TextOrigin origin) {
    OnUi([&] {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        if (item == nullptr || column < 0 || column >= Tree(*d_)->columnCount()) return;
        SetItemText(*d_, item, column, text, origin);
    });
}

void ListView::SetCellIcon(int row, int column, int icon) {
    OnUi([&] {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        if (item == nullptr || column < 0 || column >= Tree(*d_)->columnCount()) return;
        item->setData(column, kIconRole, icon);
        item->setIcon(column, ImageIcon(icon));
    });
}

std::string ListView::CellText(int row, int column) const {
    return OnUi([&]() -> std::string {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        if (item == nullptr) return {};
        return FromBytes(item->data(column, kBytesRole).toByteArray());
    });
}

std::string ListView::CellDisplayText(int row, int column) const {
    return OnUi([&]() -> std::string {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        return item == nullptr ? std::string{} : item->text(column).toUtf8().toStdString();
    });
}

bool ListView::ShowsForeignAsGbk() const {
    return OnUi([&] { return d_->foreignAsGbk; });
}

int ListView::CellIcon(int row, int column) const {
    return OnUi([&] {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        if (item == nullptr) return -1;
        const QVariant v = item->data(column, kIconRole);
        return v.isValid() ? v.toInt() : -1;
    });
}

void ListView::SetRowData(int row, std::int64_t value) {
    OnUi([&] {
        if (QTreeWidgetItem* item = ItemAt(*d_, row))
            item->setData(0, kRowDataRole, QVariant::fromValue<qint64>(value));
    });
}

std::int64_t ListView::RowData(int row) const {
    return OnUi([&]() -> std::int64_t {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        return item == nullptr ? 0 : item->data(0, kRowDataRole).toLongLong();
    });
}

int ListView::RowCount() const {
    return OnUi([&] { return d_->widget ? Tree(*d_)->topLevelItemCount() : 0; });
}

void ListView::DeleteRow(int row) {
    OnUi([&] {
        if (!d_->widget || row < 0 || row >= Tree(*d_)->topLevelItemCount()) return;
        // Taken out of the tree, the item is ours to release.
        std::unique_ptr<QTreeWidgetItem> taken(Tree(*d_)->takeTopLevelItem(row));
    });
}

void ListView::Clear() {
    OnUi([&] {
        if (!d_->widget) return;
        Tree(*d_)->clear();
        d_->foreignAsGbk = false;
    });
}

std::vector<int> ListView::SelectedRows() const {
    return OnUi([&] {
        std::vector<int> rows;
        if (!d_->widget) return rows;
        QTreeWidget* tree = Tree(*d_);
        for (int r = 0; r < tree->topLevelItemCount(); ++r) {
            if (tree->topLevelItem(r)->isSelected()) rows.push_back(r);
        }
        return rows;
    });
}

int ListView::CurrentRow() const {
    return OnUi([&] {
        if (!d_->widget) return -1;
        QTreeWidget* tree = Tree(*d_);
        if (QTreeWidgetItem* current = tree->currentItem(); current != nullptr && current->isSelected()) {
            return tree->indexOfTopLevelItem(current);
        }
        for (int r = 0; r < tree->topLevelItemCount(); ++r) {
            if (tree->topLevelItem(r)->isSelected()) return r;
        }
        return -1;
    });
}

void ListView::SelectRow(int row, bool selected) {
    OnUi([&] {
        if (QTreeWidgetItem* item = ItemAt(*d_, row)) {
            item->setSelected(selected);
            if (selected)
                Tree(*d_)->setCurrentItem(item, 0, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    });
}

void ListView::EnsureVisible(int row) {
    OnUi([&] {
        if (QTreeWidgetItem* item = ItemAt(*d_, row)) Tree(*d_)->scrollToItem(item);
    });
}

void ListView::OnItemActivated(std::function<void()> handler) { d_->onActivated = std::move(handler); }
void ListView::OnRightClick(std::function<void()> handler) { d_->onRightClick = std::move(handler); }

// ---- StatusBar --------------------------------------------------------------

void StatusBar::Create(Window& window, int height) {
    OnUi([&] {
        auto* bar = new StatusBarWidget(d_.get());
        auto* client = static_cast<ClientWidget*>(window.impl().client.data());
        Place(*d_, bar, window, Rect{0, client->height() - height, client->width(), height}, Kind::StatusBar);
        d_->client = bar;
        client->dockedBottom = bar;
        client->Dock();
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
        if (!d_->widget || pane < 0 || pane >= static_cast<int>(d_->panes.size())) return Rect{};
        const QRect r = static_cast<StatusBarWidget*>(d_->widget.data())->PaneRect(pane);
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
        if (d_->widget) static_cast<QProgressBar*>(d_->widget.data())->setValue(std::clamp(position, 0, 100));
    });
}

int ProgressBar::Position() const {
    return OnUi([&] { return d_->widget ? static_cast<QProgressBar*>(d_->widget.data())->value() : 0; });
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

// The entry controls on Qt: group box, label, hyperlink, button, edit box, list box and combo box.
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "toolkit/qt_caption_widgets.h"
#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

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

}  // namespace

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
        if (auto* button = WidgetAs<QPushButton>(*d_)) button->click();
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
        auto* edit = WidgetAs<QLineEdit>(*d_);
        if (edit == nullptr) return;
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
        auto* list = WidgetAs<QListWidget>(*d_);
        if (list == nullptr) return -1;
        auto* item = new QListWidgetItem(ShowText(text));
        item->setData(kBytesRole, Bytes(text));
        list->addItem(item);
        return list->count() - 1;
    });
}

int ListBox::LineCount() const {
    return ReadWidget<QListWidget>(*d_, 0, [](const QListWidget& list) { return list.count(); });
}

std::string ListBox::LineText(int index) const {
    return OnUi([&]() -> std::string {
        const auto* list = WidgetAs<QListWidget>(*d_);
        if (list == nullptr) return {};
        const QListWidgetItem* item = list->item(index);
        return item != nullptr ? FromBytes(item->data(kBytesRole).toByteArray()) : std::string{};
    });
}

void ListBox::SetTopLine(int index) {
    OnUi([&] {
        auto* list = WidgetAs<QListWidget>(*d_);
        if (list == nullptr) return;
        if (QListWidgetItem* item = list->item(index))
            list->scrollToItem(item, QAbstractItemView::PositionAtTop);
    });
}

int ListBox::TopLine() const {
    return OnUi([&] {
        const auto* list = WidgetAs<QListWidget>(*d_);
        if (list == nullptr) return -1;
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
        auto* combo = WidgetAs<QComboBox>(*d_);
        if (combo == nullptr) return -1;
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
    return ReadWidget<QComboBox>(*d_, 0, [](const QComboBox& combo) { return combo.count(); });
}

std::string ComboBox::EntryText(int index) const {
    return OnUi([&]() -> std::string {
        const auto* combo = WidgetAs<QComboBox>(*d_);
        if (combo == nullptr || index < 0 || index >= combo->count()) return {};
        return FromBytes(combo->itemData(index, kBytesRole).toByteArray());
    });
}

int ComboBox::CurrentSelection() const {
    return ReadWidget<QComboBox>(*d_, -1, [](const QComboBox& combo) { return combo.currentIndex(); });
}

void ComboBox::SetCurrentSelection(int index) {
    OnUi([&] {
        auto* combo = WidgetAs<QComboBox>(*d_);
        if (combo == nullptr || index < 0 || index >= combo->count()) return;
        combo->setCurrentIndex(index);
        const QString shown = combo->itemText(index);
        combo->lineEdit()->setText(shown);
        Remember(*d_, FromBytes(combo->itemData(index, kBytesRole).toByteArray()), shown);
    });
}

void ComboBox::OnEntrySelected(std::function<void()> handler) { d_->onEntrySelected = std::move(handler); }
void ComboBox::OnKeyPressed(std::function<void(int)> handler) { d_->onKey = std::move(handler); }

}  // namespace toolkit

// The list view on Qt: rows of byte texts and icons in columns, selection, rows dropped from a list.
#include <QDropEvent>
#include <QHeaderView>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>

#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

constexpr int kForeignRole = Qt::UserRole + 1;
constexpr int kRowDataRole = Qt::UserRole + 2;
constexpr int kIconRole = Qt::UserRole + 3;

// Drops on a list view: a drag is taken only when it started in one of the
// lists registered as a source, and always as a copy (a move would make the
// source view delete the dragged rows). Every other drag, the list's own rows
// included, is refused here, before the view's own handling could move rows
// about. The handler runs after the drop has been answered, so the drag has
// ended when it starts its work.
class RowDropFilter : public QObject {
public:
    using QObject::QObject;

    void AddSource(QWidget* source, std::function<void()> handler) {
        sources_.push_back(Source{source, std::move(handler)});
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::DragLeave) return true;
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) return false;
        auto* drop = static_cast<QDropEvent*>(event);
        const Source* from = SourceOf(drop->source());
        if (from == nullptr) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        if (type == QEvent::Drop && from->handler) {
            std::function<void()> handler = from->handler;
            QTimer::singleShot(0, this, [handler] { handler(); });
        }
        return true;
    }

private:
    struct Source {
        QPointer<QWidget> widget;
        std::function<void()> handler;
    };

    const Source* SourceOf(QObject* dragSource) const {
        if (dragSource == nullptr) return nullptr;
        for (const Source& s : sources_) {
            if (s.widget &&
                (dragSource == s.widget || s.widget->isAncestorOf(qobject_cast<QWidget*>(dragSource))))
                return &s;
        }
        return nullptr;
    }

    std::vector<Source> sources_;
};

QTreeWidgetItem* ItemAt(const Control::Impl& d, int row) {
    auto* tree = WidgetAs<QTreeWidget>(d);
    if (tree == nullptr || row < 0) return nullptr;
    return tree->topLevelItem(row);
}

// Shows every foreign cell of a list again, after the fill turned to GBK.
void ReshowForeign(Control::Impl& d) {
    auto* tree = WidgetAs<QTreeWidget>(d);
    if (tree == nullptr) return;
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

}  // namespace

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
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree == nullptr) return;
        const int column = tree->columnCount();
        tree->setColumnCount(column + 1);
        tree->headerItem()->setText(column, ShowText(title));
        tree->setColumnWidth(column, width);
    });
}

int ListView::ColumnCount() const {
    return ReadWidget<QTreeWidget>(*d_, 0, [](const QTreeWidget& tree) { return tree.columnCount(); });
}

int ListView::ColumnWidth(int column) const {
    return ReadWidget<QTreeWidget>(*d_, 0,
                                   [column](const QTreeWidget& tree) { return tree.columnWidth(column); });
}

void ListView::SetColumnWidth(int column, int width) {
    OnUi([&] {
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree != nullptr && column >= 0 && column < tree->columnCount()) {
            tree->setColumnWidth(column, std::max(0, width));
        }
    });
}

int ListView::InsertRow(int position, const std::string& text, int icon, TextOrigin origin) {
    return OnUi([&] {
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree == nullptr) return -1;
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
        if (item == nullptr || column < 0 || column >= item->treeWidget()->columnCount()) return;
        SetItemText(*d_, item, column, text, origin);
    });
}

void ListView::SetCellIcon(int row, int column, int icon) {
    OnUi([&] {
        QTreeWidgetItem* item = ItemAt(*d_, row);
        if (item == nullptr || column < 0 || column >= item->treeWidget()->columnCount()) return;
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
    return ReadWidget<QTreeWidget>(*d_, 0, [](const QTreeWidget& tree) { return tree.topLevelItemCount(); });
}

void ListView::DeleteRow(int row) {
    OnUi([&] {
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree == nullptr || row < 0 || row >= tree->topLevelItemCount()) return;
        // Taken out of the tree, the item is ours to release.
        std::unique_ptr<QTreeWidgetItem> taken(tree->takeTopLevelItem(row));
    });
}

void ListView::Clear() {
    OnUi([&] {
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree == nullptr) return;
        tree->clear();
        d_->foreignAsGbk = false;
    });
}

std::vector<int> ListView::SelectedRows() const {
    return OnUi([&] {
        std::vector<int> rows;
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree == nullptr) return rows;
        for (int r = 0; r < tree->topLevelItemCount(); ++r) {
            if (tree->topLevelItem(r)->isSelected()) rows.push_back(r);
        }
        return rows;
    });
}

int ListView::CurrentRow() const {
    return OnUi([&] {
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        if (tree == nullptr) return -1;
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
                item->treeWidget()->setCurrentItem(item, 0,
                                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    });
}

void ListView::EnsureVisible(int row) {
    OnUi([&] {
        if (QTreeWidgetItem* item = ItemAt(*d_, row)) item->treeWidget()->scrollToItem(item);
    });
}

void ListView::OnItemActivated(std::function<void()> handler) { d_->onActivated = std::move(handler); }
void ListView::OnRightClick(std::function<void()> handler) { d_->onRightClick = std::move(handler); }

void ListView::OnRowsDroppedFrom(ListView& source, std::function<void()> handler) {
    OnUi([&] {
        auto* tree = WidgetAs<QTreeWidget>(*d_);
        auto* from = WidgetAs<QTreeWidget>(source.impl());
        if (tree == nullptr || from == nullptr || from == tree) return;
        from->setDragEnabled(true);
        from->setDefaultDropAction(Qt::CopyAction);
        tree->setAcceptDrops(true);
        tree->viewport()->setAcceptDrops(true);
        // Found by name: the filter has no meta-object of its own, so Qt's
        // search by type would take any child for it.
        const QString name = QStringLiteral("toolkit-row-drop-filter");
        auto* filter =
            dynamic_cast<RowDropFilter*>(tree->findChild<QObject*>(name, Qt::FindDirectChildrenOnly));
        if (filter == nullptr) {
            filter = new RowDropFilter(tree);
            filter->setObjectName(name);
            tree->viewport()->installEventFilter(filter);
        }
        filter->AddSource(from, std::move(handler));
    });
}

}  // namespace toolkit

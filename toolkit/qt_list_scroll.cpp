// The scroll position of a list view, kept across a refill of its rows.
#include <QScrollBar>
#include <QTreeWidget>

#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

QScrollBar* VerticalBar(const Control::Impl& d) {
    auto* tree = qobject_cast<QTreeWidget*>(d.widget.data());
    return tree ? tree->verticalScrollBar() : nullptr;
}

}  // namespace

int ListView::ScrollPosition() const {
    return OnUi([&] {
        QScrollBar* bar = VerticalBar(*d_);
        return bar ? bar->value() : 0;
    });
}

void ListView::SetScrollPosition(int position) {
    OnUi([&] {
        if (QScrollBar* bar = VerticalBar(*d_)) {
            // The range follows the rows only once the view has laid them out.
            if (auto* tree = qobject_cast<QTreeWidget*>(d_->widget.data())) tree->doItemsLayout();
            bar->setValue(position);
        }
    });
}

}  // namespace toolkit

#include "app/picked_rows.h"

#include <algorithm>

namespace app {

PickedRows TakePickedRows(const toolkit::ListView& list) {
    PickedRows picked;
    for (int row : list.SelectedRows()) picked.names.push_back(list.CellText(row, 0));
    const int current = list.CurrentRow();
    if (current >= 0) picked.current = list.CellText(current, 0);
    return picked;
}

void RestorePickedRows(toolkit::ListView& list, const PickedRows& picked) {
    for (int row = 0; row < list.RowCount() && !picked.names.empty(); ++row) {
        const std::string name = list.CellText(row, 0);
        if (name != picked.current &&
            std::find(picked.names.begin(), picked.names.end(), name) != picked.names.end())
            list.SelectRow(row, true);
    }
    for (int row = 0; row < list.RowCount() && !picked.current.empty(); ++row) {
        if (list.CellText(row, 0) == picked.current) {
            list.SelectRow(row, true);
            break;
        }
    }
}

}  // namespace app

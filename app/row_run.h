// One queue row run on a lane: a local or remote folder made, or a file
// downloaded or uploaded on the lane's Download object, with the row's state,
// pane 2's action and, one row at a time, the row's progress; retries shown
// as they come, a stop passed on, and a refusal of one more connection
// answered by fewer lanes.
#pragma once

#include <string>

#include "app/row_outcome.h"

namespace app {

struct App;
struct Lane;
struct QueueRow;
struct TransferDriverState;

// Runs the row the lane took. A row that must wait again (its server refused
// one more connection while other lanes run) ends with kStatusWaiting.
RowOutcome RunRow(App& app, TransferDriverState& d, Lane& lane, const QueueRow& row);

// On the UI thread, under the driver's lock, once the lane took the row: the
// row reads "进行中", is scrolled into view, and pane 2 shows what runs. A
// row whose task cannot start reads "失败" when it ends, a moment later.
void ShowRowStarted(App& app, const TransferDriverState& d, const QueueRow& row);

// Pane 2's text while the action runs alone.
std::string ActionOf(const QueueRow& row);

// Pane 2's text now: the running row's action, or how many rows run
// ("动作:正在下载3个文件"). Under the driver's lock.
std::string RunningAction(const TransferDriverState& d);

// Whether the lane's connection is known to work: a task of it got as far
// as a transfer. Under the driver's lock.
bool Connected(const Lane& lane);

}  // namespace app

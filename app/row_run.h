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

// Pane 2's text while the action runs alone.
std::string ActionOf(const QueueRow& row);

// Pane 2's text now: the running row's action, or how many rows run
// ("动作:正在下载3个文件"). Under the driver's lock.
std::string RunningAction(const TransferDriverState& d);

// Whether the lane's connection is known to work: a task of it got as far
// as a transfer. Under the driver's lock.
bool Connected(const Lane& lane);

}  // namespace app

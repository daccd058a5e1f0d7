// The task queue: "下载文件" turns the selected remote entries into queue rows
// and starts the transfer driver; the queue-length pane follows the list.
#pragma once

namespace app {

struct App;

// Handler of the remoteMenu item "下载文件".
void QueueDownloadRequest(App& app);

// Handler of queueTimer's tick.
void RefreshQueueLength(App& app);

}  // namespace app

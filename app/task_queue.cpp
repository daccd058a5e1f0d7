// The task queue is not built yet: the menu item and the timer are bound to
// these handlers, which do nothing so far.
#include "app/task_queue.h"

namespace app {

void QueueDownloadRequest(App&) {}

void RefreshQueueLength(App&) {}

}  // namespace app

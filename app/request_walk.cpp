// The log-in, row bound and depth limit both request walks share.
#include "app/request_walk.h"

#include <mutex>

#include "app/app.h"
#include "app/session_log.h"
#include "app/task_queue.h"

namespace app {

RowLogin RowLogin::OfSession(const App& app) {
    return RowLogin{app.savedHost, app.savedPort, app.savedTls, app.savedUser, app.savedPassword};
}

void RowLogin::StampOn(QueueRow& row) const {
    row.host = host;
    row.port = port;
    row.tls = tls;
    row.user = user;
    row.password = password;
}

RowBudget::RowBudget(App& app, std::string request) : app_(app), request_(std::move(request)) {}

bool RowBudget::Take() {
    if (full_) return false;
    std::size_t bound = 0;
    {
        TaskQueueState& state = QueueState(app_);
        std::lock_guard guard(state.lock);
        bound = state.maxRowsPerRequest;
    }
    if (rows_ >= bound) {
        full_ = true;
        AppendLogNow(app_, "本次" + request_ + "请求已排入" + std::to_string(rows_) +
                               "行，达到上限，其余条目未加入队列");
        return false;
    }
    ++rows_;
    return true;
}

bool TooDeepToExpand(App& app, std::size_t depth, const std::string& path) {
    if (static_cast<int>(depth) <= kMaxExpansionDepth) return false;
    AppendLogNow(app, "目录层次过深，不再展开" + path);
    return true;
}

}  // namespace app

// mget and mput lanes: N transfers at once, each lane on its own Download
// object, fewer when the server refuses connections.
#include "tools/cli_parallel.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "tools/cli_commands.h"
#include "tools/cli_connections.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// Refusals after the hand-over that only delay the file; beyond them the
// task's own retries (--retries) decide.
constexpr int kRefusalsAfterHandOver = 10;
constexpr std::chrono::milliseconds kPauseAfterHandOver{500};

class LaneScheduler {
public:
    LaneScheduler(RunConnections& connections, std::string command, std::size_t count, int jobs,
                  const Transfer& transfer)
        : connections_(connections),
          command_(std::move(command)),
          jobs_(std::max(jobs, 1)),
          allowed_(jobs_),
          transfer_(transfer),
          results_(count) {
        for (std::size_t i = 0; i < count; ++i) pending_.insert(i);
    }

    LanesOutcome Run() {
        LanesOutcome outcome;
        if (results_.empty()) return outcome;
        if (connections_.SingleConnection()) HandOver();
        std::unique_lock guard(lock_);
        for (;;) {
            ReapFinished(guard);
            Settle();
            const bool stopping = InterruptSignal() != 0;
            if (lanes_.empty() && handOverWanted_ && !stopping) {
                guard.unlock();
                HandOver();
                guard.lock();
                continue;
            }
            if (lanes_.empty() && (pending_.empty() || stopping)) break;
            Regrow();
            const bool pausing = handedOver_ && refusedAfterHandOver_ > 0 && Clock::now() < PauseEnd();
            if (!stopping && !handOverWanted_ && !pausing) {
                const std::size_t room =
                    allowed_ > running_ ? static_cast<std::size_t>(allowed_ - running_) : 0;
                for (std::size_t n = std::min(room, pending_.size()); n > 0; --n) StartLane();
            }
            if (pausing) {
                changed_.wait_until(guard, PauseEnd());
            } else if (CanRegrow()) {
                changed_.wait_until(guard, lastRefusal_ + kRegrowAfter);
            } else {
                changed_.wait(guard);
            }
        }
        guard.unlock();
        if (handedOver_ && InterruptSignal() == 0) outcome.browsing = connections_.TakeBack(command_);
        outcome.files = std::move(results_);
        return outcome;
    }

private:
    struct Lane {
        bool runObject = false;  // on the run's Download object
        bool running = true;
        bool finished = false;   // its thread has nothing left to do but return
        bool connected = false;  // it holds a working connection
        std::jthread thread;
    };

    void HandOver() {
        connections_.HandOver(command_);
        std::lock_guard guard(lock_);
        handedOver_ = true;
        handOverWanted_ = false;
        allowed_ = 1;
    }

    // Joins the lanes that are done, without the lock (a lane takes it
    // last); again while one more finished meanwhile, whose wake-up came
    // while nobody waited.
    void ReapFinished(std::unique_lock<std::mutex>& guard) {
        for (;;) {
            std::list<Lane> done;
            for (auto it = lanes_.begin(); it != lanes_.end();) {
                auto next = std::next(it);
                if (it->finished) done.splice(done.end(), lanes_, it);
                it = next;
            }
            if (done.empty()) return;
            guard.unlock();
            done.clear();
            guard.lock();
        }
    }

    // After a refusal once the browsing connection is handed over, the next
    // lane starts a moment later.
    Clock::time_point PauseEnd() const { return lastRefusal_ + kPauseAfterHandOver; }

    bool CanRegrow() const {
        return refusedOnce_ && !backingOff_ && !handedOver_ && !handOverWanted_ && allowed_ < jobs_ &&
               !pending_.empty();
    }

    // A while after the last refusal one more lane may try: the server's
    // other clients may have gone.
    void Regrow() {
        if (!CanRegrow() || Clock::now() < lastRefusal_ + kRegrowAfter) return;
        ++allowed_;
        lastRefusal_ = Clock::now();
    }

    void StartLane() {
        Lane& lane = lanes_.emplace_back();
        lane.runObject = !runObjectBusy_;
        if (lane.runObject) {
            // It goes on with the connection the object keeps, if any.
            runObjectBusy_ = true;
            lane.connected = runObjectHeld_;
            runObjectHeld_ = false;
        }
        ++running_;
        lane.thread = std::jthread([this, &lane] { LaneLoop(lane); });
    }

    void LaneLoop(Lane& lane) {
        std::unique_ptr<downlib::Download> own;
        std::optional<RunningDownload> registered;
        if (!lane.runObject) {
            own = std::make_unique<downlib::Download>();
            registered.emplace(*own);
        }
        downlib::Download& object = lane.runObject ? connections_.Transfers() : *own;
        bool release = false;  // its connections go: the run goes on with fewer lanes
        for (;;) {
            std::size_t i = 0;
            TaskWatch watch;
            {
                std::lock_guard guard(lock_);
                if (InterruptSignal() != 0 || pending_.empty() || running_ > allowed_) {
                    release = !pending_.empty();
                    EndLane(lane);
                    break;
                }
                i = *pending_.begin();
                pending_.erase(pending_.begin());
                watch.stopOnLimit = !handedOver_ || refusedAfterHandOver_ < kRefusalsAfterHandOver;
                watch.loggedIn = [this, &lane] {
                    {
                        std::lock_guard inner(lock_);
                        lane.connected = true;
                    }
                    changed_.notify_all();
                };
            }
            const TransferResult result = transfer_(i, object, watch);
            std::lock_guard guard(lock_);
            if (result.refused) {
                pending_.insert(i);  // taken again, in list order
                EndLane(lane);
                Refused();
                release = true;
                break;
            }
            results_[i] = result;
            if (result.whole) lane.connected = true;
        }
        // A lane's own object ends with it; the run's keeps its connection
        // for the next command unless the run goes on with fewer lanes.
        registered.reset();
        own.reset();
        if (release && lane.runObject) connections_.RenewTransfers();
        {
            std::lock_guard guard(lock_);
            if (lane.runObject) {
                runObjectBusy_ = false;
                runObjectHeld_ = !release && lane.connected;
            }
            lane.finished = true;
        }
        changed_.notify_all();
    }

    void EndLane(Lane& lane) {
        lane.running = false;
        --running_;
    }

    // A lane's log-in was refused for too many connections; it has ended.
    void Refused() {
        refusedOnce_ = true;
        lastRefusal_ = Clock::now();
        if (handedOver_) {
            // The server still counts a connection of ours that has just
            // ended (the browsing one, or the last transfer's).
            ++refusedAfterHandOver_;
            return;
        }
        if (!backingOff_) allowedBefore_ = allowed_;
        backingOff_ = true;
        // No lane starts beyond those that may still get in.
        allowed_ = std::min(allowed_, std::max(1, running_ + (runObjectHeld_ ? 1 : 0)));
        Settle();
    }

    // Once no running lane is still logging in, the lanes that got in are
    // what the server allows beside the browsing connection: one line says
    // so. With none, not even one transfer fits beside it.
    void Settle() {
        if (!backingOff_) return;
        if (std::any_of(lanes_.begin(), lanes_.end(),
                        [](const Lane& l) { return l.running && !l.connected; }))
            return;
        backingOff_ = false;
        // The connections of ours the server serves: the running lanes' and
        // the one the run's object keeps for the next lane on it.
        const int working = running_ + (runObjectHeld_ ? 1 : 0);
        if (working == 0) {
            handOverWanted_ = true;
            allowed_ = 1;
            return;
        }
        allowed_ = std::min(working, allowedBefore_);
        if (allowed_ >= allowedBefore_) return;
        std::fprintf(stderr,
                     "quorvel-ftp-cli: %s: the server refused another connection; %d at once from now on\n",
                     command_.c_str(), allowed_);
        std::fflush(stderr);
    }

    RunConnections& connections_;
    const std::string command_;
    const int jobs_;
    int allowed_;            // lanes that may run
    int allowedBefore_ = 0;  // ...before the refusals being settled
    const Transfer& transfer_;

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<TransferResult> results_;  // each index is written by one lane only
    std::set<std::size_t> pending_;
    std::list<Lane> lanes_;
    int running_ = 0;
    bool runObjectBusy_ = false;
    bool runObjectHeld_ = false;  // it keeps the connection of a lane that ended well
    bool handOverWanted_ = false;
    bool handedOver_ = false;
    bool refusedOnce_ = false;
    bool backingOff_ = false;  // a refusal waits for the other lanes' log-ins
    int refusedAfterHandOver_ = 0;
    Clock::time_point lastRefusal_;
};

}  // namespace

JobsWord ParseJobs(const std::vector<std::string>& words, std::size_t at) {
    JobsWord out;
    out.next = at;
    if (at >= words.size() || words[at] != "-j") return out;
    out.next = at + 2;
    out.ok = false;
    if (at + 1 >= words.size()) return out;
    const std::string& text = words[at + 1];
    if (text.empty() || text.size() > 2 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return out;
    out.jobs = std::atoi(text.c_str());
    out.ok = out.jobs >= 1 && out.jobs <= kMaxJobs;
    return out;
}

LanesOutcome RunInLanes(RunConnections& connections, const std::string& command, std::size_t count, int jobs,
                        const Transfer& transfer) {
    return LaneScheduler(connections, command, count, jobs, transfer).Run();
}

}  // namespace cli

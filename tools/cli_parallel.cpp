// mget and mput lanes: N transfers at once, each lane on its own Download object.
#include "tools/cli_parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <list>
#include <memory>
#include <thread>

#include "tools/cli_commands.h"

namespace cli {

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

std::vector<TransferResult> RunInLanes(
    downlib::Download& download, std::size_t count, int jobs,
    const std::function<TransferResult(std::size_t, downlib::Download&)>& transfer) {
    std::vector<TransferResult> results(count);
    std::atomic<std::size_t> next{0};
    auto lane = [&](downlib::Download& own) {
        while (InterruptSignal() == 0) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) return;
            results[i] = transfer(i, own);  // each index is written by one lane only
        }
    };
    const std::size_t lanes = std::min<std::size_t>(static_cast<std::size_t>(std::max(jobs, 1)), count);
    if (lanes <= 1) {
        lane(download);
        return results;
    }
    std::vector<std::unique_ptr<downlib::Download>> extra;
    for (std::size_t i = 1; i < lanes; ++i) extra.push_back(std::make_unique<downlib::Download>());
    {
        std::list<RunningDownload> stoppable;
        for (auto& own : extra) stoppable.emplace_back(*own);
        std::vector<std::jthread> threads;
        threads.reserve(extra.size());
        for (auto& own : extra) threads.emplace_back([&lane, &own] { lane(*own); });
        lane(download);
    }  // the threads are joined before their objects are unregistered and ended
    return results;
}

}  // namespace cli

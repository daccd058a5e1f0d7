// Collects engine log events for assertions: each as "kind message".
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"

namespace testsupport {

class EventLog {
public:
    downlib::LogCallback callback() {
        return [this](downlib::Handle, const std::string&, const std::string& message, int kind,
                      downlib::Handle) {
            std::lock_guard lock(mutex_);
            lines_.push_back(std::to_string(kind) + " " + message);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& line) const {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    // Lines of the given kinds only, in order.
    std::vector<std::string> ofKinds(const std::string& kinds) const {
        std::vector<std::string> out;
        for (const std::string& line : lines())
            if (kinds.find(line[0]) != std::string::npos) out.push_back(line);
        return out;
    }
    std::string text() const {
        std::string out;
        for (const std::string& line : lines()) out += line + "\n";
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace testsupport

#include "platform/runtime/task.h"

namespace kavri {

Task::Task(std::function<void(std::stop_token)> body) : thread_(std::move(body)) {}

Task& Task::operator=(Task&& other) noexcept {
    if (this != &other) {
        cancelAndJoin();
        thread_ = std::move(other.thread_);
    }
    return *this;
}

Task::~Task() { cancelAndJoin(); }

void Task::cancel() {
    if (thread_.joinable()) thread_.request_stop();
}

void Task::retireInto(std::vector<Task>& retired) {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    retired.push_back(std::move(*this));
}

bool Task::isCurrentThread() const { return thread_.joinable() && thread_.get_id() == std::this_thread::get_id(); }

void Task::cancelAndJoin() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    if (isCurrentThread())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace kavri

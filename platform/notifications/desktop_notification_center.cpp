#include "platform/notifications/desktop_notification_center.h"

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "platform/runtime/log.h"
#include "platform/userdata/private_file.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {

DesktopNotificationCenter::DesktopNotificationCenter(std::filesystem::path directory,
                                                     std::shared_ptr<NotificationPresenter> presenter,
                                                     Clock& clock, Clock::Duration recheckInterval)
    : directory_(std::move(directory)),
      file_(directory_ / "notifications.json"),
      lockFile_(directory_ / "notifications.lock"),
      presenter_(std::move(presenter)),
      clock_(clock),
      recheckInterval_(recheckInterval) {
    worker_ = Task([this](std::stop_token stop) { workerLoop(stop); });
    rearm();
}

DesktopNotificationCenter::~DesktopNotificationCenter() {
    {
        std::lock_guard lock(timerMutex_);
        closing_ = true;
        timer_.cancelAndJoin();
    }
    worker_.cancelAndJoin();
}

void DesktopNotificationCenter::add(NotificationRequest request) {
    enqueue([this, request = std::move(request)]() mutable { applyAdd(std::move(request)); });
}

void DesktopNotificationCenter::removePendingRequests(const std::vector<std::string>& identifiers) {
    enqueue([this, identifiers] { applyRemoval(identifiers); });
}

void DesktopNotificationCenter::applyAdd(NotificationRequest request) {
    {
        std::lock_guard guard(fileMutex_);
        PrivateFile::Lock lock(lockFile_);
        auto pending = loadPending();
        const auto before = pending.size();
        std::erase_if(pending, [&](const auto& p) { return p.identifier == request.identifier; });
        bool changed = pending.size() != before;
        if (request.trigger) {
            pending.push_back(request);
            changed = true;
        }
        if (changed && !storePending(pending) && request.trigger) {
            Log::line("[Kavri] notification " + request.identifier + " not scheduled: " + file_.string() +
                      " cannot be written");
            return;
        }
    }
    if (request.trigger) {
        rearm();
    } else {
        presenter_->present(request);
    }
}

void DesktopNotificationCenter::applyRemoval(const std::vector<std::string>& identifiers) {
    std::lock_guard guard(fileMutex_);
    PrivateFile::Lock lock(lockFile_);
    auto pending = loadPending();
    const auto before = pending.size();
    std::erase_if(pending, [&](const auto& p) {
        return std::find(identifiers.begin(), identifiers.end(), p.identifier) != identifiers.end();
    });
    if (pending.size() != before) storePending(pending);
}

std::vector<NotificationRequest> DesktopNotificationCenter::pendingRequests() const {
    drain(std::chrono::milliseconds::max());
    std::lock_guard guard(fileMutex_);
    PrivateFile::Lock lock(lockFile_);
    return loadPending();
}

std::vector<NotificationRequest> DesktopNotificationCenter::loadPending() const {
    int error = 0;
    const auto text = PrivateFile::read(file_, error);
    if (!text) {
        if (error != ENOENT) Log::line("[Kavri] pending notifications unreadable: " + file_.string());
        return {};
    }
    const auto root = nlohmann::json::parse(*text, nullptr, false);
    const auto list = root.is_object() ? root.find("pending") : root.end();
    std::vector<NotificationRequest> pending;
    bool intact = list != root.end() && list->is_array();
    if (intact) {
        for (const auto& item : *list) {
            auto request = NotificationRequest::fromJson(item);
            if (request && request->trigger) pending.push_back(std::move(*request));
            else intact = false;
        }
    }
    if (!intact) {
        // Keep what cannot be read for the user; the readable entries go on.
        const auto aside = file_.string() + ".corrupt-" +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                              clock_.wallNow().time_since_epoch())
                                              .count());
        std::error_code ec;
        std::filesystem::copy_file(file_, aside, std::filesystem::copy_options::overwrite_existing, ec);
        Log::line("[Kavri] pending notifications file damaged, kept as " + aside);
        storePending(pending);
    }
    return pending;
}

bool DesktopNotificationCenter::storePending(const std::vector<NotificationRequest>& pending) const {
    if (!UserDataDirectory::ensure(directory_)) return false;
    nlohmann::json list = nlohmann::json::array();
    for (const auto& r : pending) list.push_back(r.toJson());
    const nlohmann::json root = {{"pending", list}};
    return PrivateFile::writeAtomically(file_, root.dump(2) + "\n") == 0;
}

std::optional<Clock::WallTime> DesktopNotificationCenter::takeDue() {
    std::vector<NotificationRequest> due;
    std::optional<Clock::WallTime> next;
    {
        std::lock_guard guard(fileMutex_);
        PrivateFile::Lock lock(lockFile_);
        auto pending = loadPending();
        const auto now = clock_.wallNow();
        std::vector<NotificationRequest> later;
        for (auto& r : pending) {
            const auto at = r.trigger->fireDate();
            if (at <= now) {
                due.push_back(std::move(r));
            } else {
                if (!next || at < *next) next = at;
                later.push_back(std::move(r));
            }
        }
        // Only what left the file is shown: a request is never shown twice.
        if (!due.empty() && !storePending(later)) return next;
    }
    for (auto& request : due) enqueue([this, request = std::move(request)] { presenter_->present(request); });
    return next;
}

void DesktopNotificationCenter::enqueue(std::function<void()> job) {
    std::lock_guard lock(queueMutex_);
    queue_.push_back(std::move(job));
    queueChanged_.notify_all();
}

void DesktopNotificationCenter::rearm() {
    std::lock_guard lock(timerMutex_);
    if (closing_) return;
    timer_ = Task([this](std::stop_token stop) { timerLoop(stop); });
}

void DesktopNotificationCenter::timerLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        const auto next = takeDue();
        Clock::Duration wait = recheckInterval_;
        if (next) {
            const auto untilNext = std::chrono::duration_cast<Clock::Duration>(*next - clock_.wallNow());
            wait = std::max(Clock::Duration::zero(), std::min(wait, untilNext));
        }
        if (!clock_.sleepFor(wait, stop)) return;
    }
}

void DesktopNotificationCenter::workerLoop(std::stop_token stop) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(queueMutex_);
            queueChanged_.wait(lock, stop, [&] { return !queue_.empty(); });
            // On stop, what was queued is still done before the loop ends.
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
        }
        job();
        std::lock_guard lock(queueMutex_);
        busy_ = false;
        queueChanged_.notify_all();
    }
}

bool DesktopNotificationCenter::drain(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(queueMutex_);
    auto idle = [&] { return queue_.empty() && !busy_; };
    if (timeout == std::chrono::milliseconds::max()) {
        queueChanged_.wait(lock, idle);
        return true;
    }
    return queueChanged_.wait_for(lock, timeout, idle);
}

}  // namespace kavri

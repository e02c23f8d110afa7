#include "platform/runtime/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace kavri {
namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

std::vector<LogCapture*>& captures() {
    static std::vector<LogCapture*> list;
    return list;
}

std::atomic<bool>& quietFlag() {
    static std::atomic<bool> quiet{std::getenv("KAVRI_LOG_QUIET") != nullptr};
    return quiet;
}

}  // namespace

void Log::line(std::string_view text) {
    std::lock_guard lock(sinkMutex());
    if (!quietFlag().load()) {
        std::string out(text);
        out.push_back('\n');
        std::fwrite(out.data(), 1, out.size(), stderr);
        std::fflush(stderr);
    }
    for (LogCapture* c : captures()) c->append(text);
}

void Log::setQuiet(bool quiet) { quietFlag().store(quiet); }

LogCapture::LogCapture() {
    std::lock_guard lock(sinkMutex());
    captures().push_back(this);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(sinkMutex());
    auto& list = captures();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void LogCapture::append(std::string_view text) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
    changed_.notify_all();
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool LogCapture::contains(std::string_view exactLine) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), exactLine) != lines_.end();
}

bool LogCapture::containsText(std::string_view fragment) const { return count(fragment) > 0; }

std::size_t LogCapture::count(std::string_view fragment) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
        return l.find(fragment) != std::string::npos;
    }));
}

bool LogCapture::waitForText(std::string_view fragment, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
    });
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace kavri

#include "platform/runtime/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cerrno>
#include <unistd.h>

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

std::string Log::stamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(((ms % 1000) + 1000) % 1000));
    return text;
}

std::string_view Log::withoutStamp(std::string_view written) {
    static constexpr std::string_view form = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (written.size() < form.size()) return written;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const char c = written[i];
        if (form[i] == 'd' ? (c < '0' || c > '9') : c != form[i]) return written;
    }
    return written.substr(form.size());
}

void Log::line(std::string_view text) {
    const std::string when = stamp(std::chrono::system_clock::now());
    std::lock_guard lock(sinkMutex());
    if (!quietFlag().load()) {
        // Each line of a text that holds line breaks is stamped, so that no
        // line of the log lacks its time; a break at the end adds no line.
        std::string out;
        out.reserve(when.size() + 1 + text.size() + 1);
        std::string_view rest = text;
        do {
            const std::size_t end = rest.find('\n');
            out.append(when).append(" ").append(rest.substr(0, end)).push_back('\n');
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        } while (!rest.empty());
        // One write per line where the system allows, so that processes
        // sharing a log file never interleave within a line.
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
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

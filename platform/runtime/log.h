#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// The process log: one line per entry, written whole (one write) to standard
// error after the moment it was logged, in UTC to the millisecond
// ("2024-12-10T12:00:00.123Z [Kavri] ..."); the journal collects it when the
// program runs as a service. Callers write the line's own prefix
// ("[Kavri] ", "[Kavri][hb] ", ...); captures receive the text as logged.
class Log {
public:
    static void line(std::string_view text);
    // Silences standard error (captures still receive every line).
    static void setQuiet(bool quiet);

    // "YYYY-MM-DDTHH:MM:SS.mmmZ" of a moment.
    static std::string stamp(std::chrono::system_clock::time_point when);
    // A written line without its leading time stamp and the blank after it;
    // a line without one, unchanged.
    static std::string_view withoutStamp(std::string_view written);
};

// Collects every line logged while it exists, for tests to assert on.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view exactLine) const;
    bool containsText(std::string_view fragment) const;
    std::size_t count(std::string_view fragment) const;
    // Waits (real time) until a line containing `fragment` was logged.
    bool waitForText(std::string_view fragment,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void clear();

private:
    friend class Log;
    void append(std::string_view text);

    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    std::vector<std::string> lines_;
};

}  // namespace kavri

#include "tests/support/sanitizer_reports.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace kavri::test {
namespace {

// Adds `options` after what the variable holds already (later options win).
[[maybe_unused]] void addOptions(const char* variable, const std::string& options) {
    const char* before = ::getenv(variable);
    ::setenv(variable, ((before && *before ? std::string(before) + " " : std::string()) + options).c_str(), 1);
}

}  // namespace

SanitizerReports::SanitizerReports(std::filesystem::path folder) : folder_(std::move(folder)) {
    // A child writes its reports to "<folder>/report.<pid>".
    [[maybe_unused]] const std::string logPath = "log_path=\"" + (folder_ / "report").string() + "\"";
#ifdef KAVRI_TSAN_SUPPRESSIONS
    addOptions("TSAN_OPTIONS", "suppressions=\"" KAVRI_TSAN_SUPPRESSIONS "\" " + logPath);
#endif
#ifdef KAVRI_LSAN_SUPPRESSIONS
    // A child that used a suppression and leaked nothing else would otherwise
    // still write the suppressions' counts into its report file.
    addOptions("ASAN_OPTIONS", "print_suppressions=0 " + logPath);
    addOptions("LSAN_OPTIONS", "suppressions=\"" KAVRI_LSAN_SUPPRESSIONS "\" print_suppressions=0 " + logPath);
    // UBSan itself always writes to standard error (kept in each child's log
    // by the tests); halting ends the child, which its test then sees.
    addOptions("UBSAN_OPTIONS", "print_stacktrace=1 halt_on_error=1 " + logPath);
#endif
}

std::vector<std::string> SanitizerReports::newReports() {
    std::vector<std::string> reports;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        if (!seen_.insert(entry.path()).second) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        reports.push_back(entry.path().filename().string() + ":\n" + text.str());
    }
    return reports;
}

void SanitizerReports::OnTestEnd(const ::testing::TestInfo&) {
    // Still attributed to the test that ends: its result is not yet printed.
    for (const auto& report : newReports()) ADD_FAILURE() << "a program this test started reported " << report;
}

bool SanitizerReports::checkLate() {
    const auto reports = newReports();
    for (const auto& report : reports)
        std::fprintf(stderr, "A program started by the tests reported after its test ended: %s\n", report.c_str());
    return reports.empty();
}

}  // namespace kavri::test

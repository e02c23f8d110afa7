// Entry of every test program: each process gets a shared directory (and
// keychain, data and configuration folders) of its own and a deployment
// whose hosts are closed ports on loopback, so no test can ever reach a real
// backend.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/deployment.h"
#include "tests/support/sanitizer_reports.h"
#include "tests/support/temp_dir.h"

// Under a sanitizer every test program reads the suite's suppressions,
// whether ctest or a person starts it (ctest's test discovery keeps only the
// first of a test's environment variables).
#ifdef KAVRI_TSAN_SUPPRESSIONS
extern "C" const char* __tsan_default_options() { return "suppressions=" KAVRI_TSAN_SUPPRESSIONS; }
#endif
#ifdef KAVRI_LSAN_SUPPRESSIONS
extern "C" const char* __lsan_default_options() { return "suppressions=" KAVRI_LSAN_SUPPRESSIONS; }
// An undefined behaviour fails the test that ran into it.
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    kavri::test::TempDir shared;
    setenv("KAVRI_SHARED_DIR", shared.path().c_str(), 1);
    // Nothing a test does may touch the user's own keychain or data folder.
    setenv("KAVRI_KEYCHAIN_DIR", (shared.path() / "keychain").c_str(), 1);
    setenv("KAVRI_DATA_DIR", (shared.path() / "data").c_str(), 1);
    setenv("KAVRI_CONFIG_DIR", (shared.path() / "config").c_str(), 1);
    kavri::Deployment d = kavri::Deployment::builtIn();
    d.hosts = {{"127.0.0.1:9", {}}, {"127.0.0.1:9", {}}};
    d.apiBaseURL = "https://127.0.0.1:9";
    kavri::Deployment::install(d);
    // Programs the tests start report to a folder of this process's; a
    // report from one fails the test that started it.
    kavri::test::TempDir reports;
    auto* childReports = new kavri::test::SanitizerReports(reports.path());
    ::testing::UnitTest::GetInstance()->listeners().Append(childReports);
    const int result = RUN_ALL_TESTS();
    // Children that outlived their test (a suite's shared server) report late.
    return childReports->checkLate() ? result : 1;
}

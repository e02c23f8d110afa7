#pragma once
// Under a sanitizer, the programs a test starts (kavri, durnel, kavri-peer,
// kavri-control-plane, the helper tools, ...) read the suite's suppressions
// and write their reports into a folder of the test program's: they run as
// children, and a child's report would otherwise go to a log nobody reads.
// Each report found there when a test ends fails that test, with the report
// in its message. Without a sanitizer this does nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace kavri::test {

class SanitizerReports : public ::testing::EmptyTestEventListener {
public:
    // Sets the sanitizers' options in this process's environment, which every
    // program it starts inherits.
    explicit SanitizerReports(std::filesystem::path folder);

    void OnTestEnd(const ::testing::TestInfo& test) override;
    // After the tests: false (and the reports on standard error) when
    // children that outlived their test reported.
    bool checkLate();

private:
    // The reports not seen before, each as "<file>:\n<text>".
    std::vector<std::string> newReports();

    std::filesystem::path folder_;
    std::set<std::filesystem::path> seen_;
};

}  // namespace kavri::test

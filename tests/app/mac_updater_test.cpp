#include "app/updater/mac_updater.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "app/runtime/manual_executor.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Children of a process (its main thread's), by their command names.
std::vector<std::string> childCommands(pid_t pid) {
    std::vector<std::string> out;
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child; children >> child;) {
        std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
        std::string name;
        comm >> name;
        out.push_back(name);
    }
    return out;
}

// The bash process that runs a script in `folder`.
pid_t scriptProcess(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::ifstream in(e.path() / "cmdline");
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmdline.starts_with(std::string("/bin/bash\0", 10) + folder.string())) {
            return static_cast<pid_t>(std::stol(e.path().filename().string()));
        }
    }
    return -1;
}

TEST(MacUpdaterTest, CleanupRemovesOnlyTheLeftoversOfAnUpdate) {
    test::TempDir temp;
    const fs::path bundle = temp / "Kavri.app";
    for (const char* name : {"Kavri.app", ".kavri-update-1.app", ".kavri-previous-2.app", "kavri-update-3.app"}) {
        fs::create_directories(temp / name / "Contents");
    }
    std::ofstream(temp / ".kavri-update-file");
    MacUpdater::cleanupLeftovers(bundle);
    EXPECT_EQ(entries(temp.path()), (std::vector<std::string>{"Kavri.app", "kavri-update-3.app"}));
    MacUpdater::cleanupLeftovers(temp / "missing" / "Kavri.app");  // an unreadable folder is no error
}

// The folder's name holds every character that is special inside double quotes.
TEST(MacUpdaterTest, TheScriptWaitsForTheAppThenSwapsTheBundlesAndStartsTheNewOne) {
    test::TempDir temp;
    const fs::path folder = temp / "Apps \"$HOME\" `x` \\ end";
    const fs::path current = folder / "Kavri.app";
    const fs::path staged = folder / ".kavri-update-0A.app";
    test::writeFakeBundle(current, "old", temp / "launches");
    test::writeFakeBundle(staged, "new", temp / "launches");
    fs::create_directories(temp / "tmp");

    const pid_t app = ::fork();  // stands for the running app
    if (app == 0) {
        ::pause();
        ::_exit(0);
    }
    std::vector<std::chrono::milliseconds> terminations;
    ManualExecutor main;
    MacUpdater::Deps deps;
    deps.bundle = current;
    deps.temporaryDirectory = temp / "tmp";
    deps.pid = app;
    deps.terminateAfter = [&](auto delay) { terminations.push_back(delay); };
    MacUpdater updater(main, deps);
    updater.swapAndRelaunch(staged);
    EXPECT_EQ(terminations, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(300)});
    const auto scripts = entries(temp / "tmp");
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_TRUE(scripts[0].starts_with("kavri-swap-") && scripts[0].ends_with(".sh"));
    EXPECT_EQ(fs::status(temp / "tmp" / scripts[0]).permissions(), fs::perms(0755));

    // While the app runs, the script only waits.
    pid_t script = -1;
    ASSERT_TRUE(test::eventually([&] { return (script = scriptProcess(temp / "tmp")) > 0; }));
    ASSERT_TRUE(test::eventually([&] {
        const auto children = childCommands(script);
        return std::find(children.begin(), children.end(), "sleep") != children.end();
    }));
    EXPECT_EQ(test::readFile(current / "Contents" / "version"), "old");
    EXPECT_TRUE(fs::exists(staged));

    ::kill(app, SIGKILL);
    ::waitpid(app, nullptr, 0);
    ASSERT_TRUE(test::eventually([&] { return entries(temp / "tmp").empty() && test::readFile(temp / "launches").ends_with("\n"); }));
    EXPECT_EQ(test::readFile(current / "Contents" / "version"), "new");
    EXPECT_EQ(entries(folder), std::vector<std::string>{"Kavri.app"});
    EXPECT_EQ(test::readFile(temp / "launches"), "new \n");
}

TEST(MacUpdaterTest, AFailedMoveLeavesTheOldAppWorkingAndStartsIt) {
    struct Case {
        const char* name;
        bool stagedExists;        // the new copy vanished: moving it in fails
        bool previousReachable;   // the old one cannot be put aside
    } cases[] = {
        {"new copy cannot be moved in", false, true},
        {"old copy cannot be moved aside", true, false},
    };
    for (const auto& c : cases) {
        test::TempDir temp;
        const fs::path apps = temp / "apps";
        const fs::path current = apps / "Kavri.app";
        const fs::path staged = apps / ".kavri-update-1.app";
        test::writeFakeBundle(current, "old", temp / "launches");
        if (c.stagedExists) test::writeFakeBundle(staged, "new", temp / "launches");
        const fs::path previous =
            c.previousReachable ? apps / ".kavri-previous-2.app" : apps / "missing" / ".kavri-previous-2.app";
        const fs::path script = temp / "swap.sh";
        // No process has this id: the script does not wait.
        std::ofstream(script) << MacUpdater::swapScript({current, staged, previous, 4194304});

        const int status = std::system(("/bin/bash " + script.string()).c_str());
        EXPECT_EQ(WEXITSTATUS(status), 1) << c.name;
        EXPECT_FALSE(fs::exists(script)) << c.name;
        EXPECT_EQ(entries(apps), (std::vector<std::string>{"Kavri.app"})) << c.name;
        EXPECT_EQ(test::readFile(current / "Contents" / "version"), "old") << c.name;
        ASSERT_TRUE(test::eventually([&] { return test::readFile(temp / "launches").ends_with("\n"); })) << c.name;
        EXPECT_EQ(test::readFile(temp / "launches"), "old \n") << c.name;
    }
}

TEST(MacUpdaterTest, TheScriptTextHasTheExpectedShape) {
    const std::string text = MacUpdater::swapScript({"/A/Kavri.app", "/A/.kavri-update-U.app", "/A/.kavri-previous-P.app", 42});
    EXPECT_TRUE(text.starts_with("#!/bin/bash\n# Ждём, пока прежняя версия закроется"));
    EXPECT_NE(text.find("\nwhile kill -0 42 2>/dev/null; do sleep 0.2; done\n\n# Убираем"), std::string::npos);
    EXPECT_NE(text.find("\nif ! /bin/mv \"/A/Kavri.app\" \"/A/.kavri-previous-P.app\"; then\n    # Сдвинуть"),
              std::string::npos);
    EXPECT_TRUE(text.ends_with("/bin/rm -rf \"/A/.kavri-previous-P.app\"\n"
                               "/usr/bin/setsid -f \"/A/Kavri.app/Contents/MacOS/kavri\" </dev/null\n"
                               "/bin/rm -f \"$0\""));
}

}  // namespace
}  // namespace kavri

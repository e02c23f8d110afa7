#include "app/sysext/system_extension_installer.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "app/runtime/manual_executor.h"
#include "platform/runtime/log.h"
#include "platform/workspace/workspace.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/temp_dir.h"

namespace kavri {

void PrintTo(const SystemExtensionInstaller::State& state, std::ostream* os) {
    *os << "kind " << static_cast<int>(state.kind) << " \"" << state.text << "\"";
}

namespace {

namespace fs = std::filesystem;
using Kind = SystemExtensionInstaller::State::Kind;
using State = SystemExtensionInstaller::State;

class InstallerTest : public ::testing::Test {
protected:
    InstallerTest() : manager(root() / "Kavri.app") { fs::create_directories(root()); }

    fs::path root() const { return temp.path() / "Applications"; }

    SystemExtensionInstaller::Deps deps(const fs::path& bundle) {
        SystemExtensionInstaller::Deps d;
        d.bundle = bundle;
        d.applicationsRoot = root().string() + "/";
        d.manager = &manager;
        d.administrator = AdministratorShell(std::vector<std::string>{});  // the same command, with our own rights
        d.openApplication = [](const fs::path& b) { Workspace::openApplication(b, true); };
        d.terminateAfter = [this](std::chrono::milliseconds delay) { terminations.push_back(delay); };
        return d;
    }

    test::TempDir temp;
    ManualExecutor main;
    SystemExtensionManager manager;
    std::vector<std::chrono::milliseconds> terminations;
};

TEST_F(InstallerTest, EachAnswerOfTheSystemSetsItsState) {
    const SystemExtensionError other{"NSCocoaErrorDomain", 5, "{}", "Something else"};
    struct Case {
        std::function<void(SystemExtensionInstaller&)> answer;
        State expected;
    } cases[] = {
        {[](auto& s) { s.requestNeedsUserApproval(); }, State{Kind::needsApproval}},
        {[](auto& s) { s.requestDidFinish(1); }, State{Kind::needsReboot}},
        {[](auto& s) { s.requestDidFinish(0); }, State{Kind::installed}},
        {[](auto& s) { s.requestDidFinish(7); }, State{Kind::installed}},
        {[](auto& s) { s.requestDidFail({SystemExtensionErrorCode::domain, 4, "{}", "x"}); },
         State::failed("Расширение не найдено внутри приложения (битая сборка)")},
        {[](auto& s) { s.requestDidFail({SystemExtensionErrorCode::domain, 9, "{}", "x"}); },
         State::failed("Система отклонила подпись расширения")},
        {[](auto& s) { s.requestDidFail({SystemExtensionErrorCode::domain, 13, "{}", "x"}); },
         State::failed("Нужно разрешение в Системных настройках")},
        {[](auto& s) { s.requestDidFail({SystemExtensionErrorCode::domain, 3, "{}", "Bad location"}); },
         State::failed("Bad location")},
        {[&](auto& s) { s.requestDidFail(other); }, State::failed("Something else")},
        {[](auto& s) { s.requestDidFail({SystemExtensionErrorCode::domain, 12, "{}", "x"}); },
         State{Kind::installing}},
    };
    for (const auto& c : cases) {
        SystemExtensionInstaller installer(main, deps(root() / "Kavri.app"));
        installer.state = State{Kind::installing};
        c.answer(installer);
        EXPECT_EQ(installer.state.get(), State{Kind::installing}) << "changed inline";
        main.runUntilIdle();
        EXPECT_EQ(installer.state.get(), c.expected) << c.expected.text;
    }
}

TEST_F(InstallerTest, OnlyACompletedResultLogsTheInstall) {
    for (long result : {0L, 7L}) {
        LogCapture log;
        SystemExtensionInstaller installer(main, deps(root() / "Kavri.app"));
        installer.requestDidFinish(result);
        main.runUntilIdle();
        EXPECT_EQ(log.contains("[Kavri] sysex: установлено"), result == 0);
    }
}

TEST_F(InstallerTest, ActivationChecksTheExtensionProgramInsideTheBundle) {
    struct Case {
        fs::path bundle;
        bool withExtension;
        State expected;
    } cases[] = {
        {root() / "Kavri.app", true, State{Kind::installed}},
        {root() / "Tools" / "Kavri.app", true, State{Kind::installed}},  // below the folder counts
        {root() / "Kavri.app", false, State::failed("Расширение не найдено внутри приложения (битая сборка)")},
        {temp.path() / "Downloads" / "Kavri.app", true, State{Kind::notInApplications}},
    };
    for (const auto& c : cases) {
        fs::remove_all(c.bundle);
        if (c.withExtension) test::writeFakeBundle(c.bundle, "1", temp / "launches");
        SystemExtensionManager own(c.bundle);
        auto d = deps(c.bundle);
        d.manager = &own;
        SystemExtensionInstaller installer(main, d);
        installer.activate();
        main.runUntilIdle();
        EXPECT_EQ(installer.state.get(), c.expected) << c.bundle;
    }
}

TEST_F(InstallerTest, ASupersededRequestIsIgnored) {
    test::writeFakeBundle(root() / "Kavri.app", "1", temp / "launches");
    LogCapture log;
    SystemExtensionInstaller installer(main, deps(root() / "Kavri.app"));
    std::vector<State> seen;
    auto sub = installer.subscribe([&](std::string_view) { seen.push_back(installer.state.get()); });
    installer.activate();
    installer.activate();  // the first request's answer is still queued
    main.runUntilIdle();
    EXPECT_EQ(log.count("code=12"), 1u);
    EXPECT_EQ(seen, (std::vector<State>{State{Kind::installing}, State{Kind::installing}, State{Kind::installed}}));
}

TEST_F(InstallerTest, MoveReplacesTheOlderCopyAndStartsTheNewOne) {
    const fs::path source = temp / "Downloads" / "Kavri.app";
    const fs::path destination = root() / "Kavri.app";
    test::writeFakeBundle(source, "new", temp / "launches");
    test::writeFakeBundle(destination, "old", temp / "launches");
    std::ofstream(destination / "Contents" / "stale");

    SystemExtensionInstaller installer(main, deps(source));
    installer.moveToApplications();
    EXPECT_EQ(installer.state.get(), State{Kind::installing});
    EXPECT_FALSE(fs::exists(destination / "Contents" / "stale"));
    EXPECT_EQ(test::readFile(destination / "Contents" / "version"), "new");
    ASSERT_TRUE(test::eventually([&] { return test::readFile(temp / "launches").ends_with("\n"); }));
    EXPECT_EQ(test::readFile(temp / "launches"), std::string("new ") + Workspace::newInstanceArgument + "\n");
    EXPECT_EQ(terminations, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(400)});
}

TEST_F(InstallerTest, AnAppAlreadyInPlaceIsNotMoved) {
    const fs::path bundle = root() / "Kavri.app";
    test::writeFakeBundle(bundle, "1", temp / "launches");
    SystemExtensionInstaller installer(main, deps(bundle));
    installer.moveToApplications();
    EXPECT_EQ(installer.state.get(), State{Kind::idle});
    EXPECT_TRUE(terminations.empty());
}

TEST_F(InstallerTest, AFailedRelaunchKeepsTheAppRunningAndSaysSo) {
    const fs::path source = temp / "Downloads" / "Kavri.app";
    test::writeFakeBundle(source, "new", temp / "launches");
    fs::permissions(AppBundle::executable(source), fs::perms(0644), fs::perm_options::replace);
    SystemExtensionInstaller installer(main, deps(source));
    installer.moveToApplications();
    EXPECT_EQ(installer.state.get(), State::failed(SystemExtensionInstaller::relaunchFailedText));
    EXPECT_TRUE(terminations.empty());
    EXPECT_TRUE(fs::exists(root() / "Kavri.app" / "Contents" / "version"));
}

// The plain copy refuses a bundle that holds a named pipe; the administrator
// command (cp -R) copies it. Folder names that try to break out of the
// command's quoting must reach it as plain names and run nothing.
TEST_F(InstallerTest, TheAdministratorCommandTakesAnyFolderNameLiterally) {
    const fs::path mark = temp / "mark";
    ::setenv("KAVRI_TEST_MARK", mark.c_str(), 1);
    for (const std::string name : {"Ka'vri.app", "Kavri$(touch \"$KAVRI_TEST_MARK\").app",
                                   "K';touch \"$KAVRI_TEST_MARK\";'.app", "Kavri`touch \"$KAVRI_TEST_MARK\"`.app"}) {
        const fs::path source = temp / "Downloads" / name;
        test::writeFakeBundle(source, "new", temp / "launches");
        ASSERT_EQ(::mkfifo((source / "Contents" / "pipe").c_str(), 0600), 0);
        std::vector<fs::path> opened;
        auto d = deps(source);
        d.openApplication = [&](const fs::path& b) { opened.push_back(b); };
        SystemExtensionInstaller installer(main, d);
        installer.moveToApplications();
        const fs::path destination = root() / name;
        EXPECT_EQ(installer.state.get(), State{Kind::installing}) << name;
        EXPECT_EQ(test::readFile(destination / "Contents" / "version"), "new") << name;
        EXPECT_EQ(opened, std::vector<fs::path>{destination});
        EXPECT_FALSE(fs::exists(mark)) << name;
    }
    ::unsetenv("KAVRI_TEST_MARK");
}

TEST_F(InstallerTest, AFailedAdministratorCommandLeavesTheAppWhereItIs) {
    const fs::path source = temp / "Downloads" / "Kavri.app";
    test::writeFakeBundle(source, "new", temp / "launches");
    ASSERT_EQ(::mkfifo((source / "Contents" / "pipe").c_str(), 0600), 0);
    auto d = deps(source);
    d.administrator = AdministratorShell({"/bin/false"});  // the user refused the password
    SystemExtensionInstaller installer(main, d);
    installer.moveToApplications();
    EXPECT_EQ(installer.state.get(), State::failed(SystemExtensionInstaller::moveFailedText));
    EXPECT_TRUE(terminations.empty());
    EXPECT_EQ(SystemExtensionInstaller::administratorCommand("relative/Kavri.app", "/Applications/Kavri.app"),
              std::nullopt);
}

// The user's own applications folder needs no administrator: the copy is
// made with the app's own rights (the folder made when missing) on a
// desktop without pkexec, and the copy loses its quarantine mark.
TEST_F(InstallerTest, AWritableFolderTakesTheCopyWithoutTheAdministratorShell) {
    const fs::path source = temp / "Downloads" / "Kavri.app";
    test::writeFakeBundle(source, "new", temp / "launches");
    const fs::path marked = source / "Contents" / "version";
    ASSERT_EQ(::lsetxattr(marked.c_str(), "user.com.apple.quarantine", "0081;kavri", 10, 0), 0);
    fs::remove_all(root());
    std::vector<fs::path> opened;
    auto d = deps(source);
    d.administrator = AdministratorShell({(temp / "no-pkexec").string()});
    d.xattr = std::string(KAVRI_BINARY_DIR) + "/platform/tools/xattr";
    d.openApplication = [&](const fs::path& b) { opened.push_back(b); };
    SystemExtensionInstaller installer(main, d);
    installer.moveToApplications();

    const fs::path copied = root() / "Kavri.app" / "Contents" / "version";
    EXPECT_EQ(installer.state.get(), State{Kind::installing});
    EXPECT_EQ(test::readFile(copied), "new");
    EXPECT_EQ(opened, std::vector<fs::path>{root() / "Kavri.app"});
    char value[32];
    EXPECT_LT(::lgetxattr(copied.c_str(), "user.com.apple.quarantine", value, sizeof value), 0) << "still marked";
    EXPECT_GT(::lgetxattr(marked.c_str(), "user.com.apple.quarantine", value, sizeof value), 0) << "the original";
}

// A folder the app cannot write to goes to the administrator shell at once;
// when its program is missing the move fails with the guide's text and the
// log names the program.
TEST_F(InstallerTest, AMissingAdministratorShellFailsTheMoveAndNamesTheProgram) {
    const fs::path source = temp / "Downloads" / "Kavri.app";
    test::writeFakeBundle(source, "new", temp / "launches");
    std::ofstream(temp / "not-a-folder") << "x";
    auto d = deps(source);
    d.applicationsRoot = (temp / "not-a-folder" / "Applications").string() + "/";
    const std::string shell = (temp / "no-pkexec").string();
    d.administrator = AdministratorShell({shell});
    LogCapture log;
    SystemExtensionInstaller installer(main, d);
    installer.moveToApplications();
    EXPECT_EQ(installer.state.get(), State::failed(SystemExtensionInstaller::moveFailedText));
    EXPECT_TRUE(log.containsText("cannot start " + shell)) << "the missing program";
    EXPECT_TRUE(terminations.empty());
}

TEST_F(InstallerTest, TheApplicationsFolderIsTheUsersOwnUnlessTheEnvironmentNamesOne) {
    const auto restore = [](const char* name, const char* value) {
        return [name, saved = value ? std::optional<std::string>(value) : std::nullopt] {
            if (saved)
                ::setenv(name, saved->c_str(), 1);
            else
                ::unsetenv(name);
        };
    };
    const auto restoreHome = restore("HOME", std::getenv("HOME"));
    const auto restoreDir = restore("KAVRI_APPLICATIONS_DIR", std::getenv("KAVRI_APPLICATIONS_DIR"));
    ::setenv("HOME", "/home/kavri", 1);
    ::unsetenv("KAVRI_APPLICATIONS_DIR");
    EXPECT_EQ(SystemExtensionInstaller::applicationsRoot(), "/home/kavri/Applications/");
    ::setenv("KAVRI_APPLICATIONS_DIR", "/srv/apps", 1);
    EXPECT_EQ(SystemExtensionInstaller::applicationsRoot(), "/srv/apps/");
    restoreHome();
    restoreDir();
}

}  // namespace
}  // namespace kavri

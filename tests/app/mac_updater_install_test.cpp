#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "app/runtime/manual_executor.h"
#include "app/updater/download_progress.h"
#include "app/updater/mac_updater.h"
#include "core/deployment.h"
#include "core/property_list.h"
#include "platform/codesign/code_signature.h"
#include "platform/diskimage/disk_image.h"
#include "testing/test_control_plane.h"
#include "testing/test_pki.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/seal_signing.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;
using Phase = MacUpdater::Phase;

const std::string team = "KV7TEAM0ID";
const std::string binaryDir = KAVRI_BINARY_DIR;
constexpr pid_t noProcess = 4194304;  // above any process id: the swap does not wait

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A stand-in for one of the tools: a bash script of these lines.
std::string writeTool(const fs::path& path, const std::string& lines) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/bash\n" << lines << "\n";
    fs::permissions(path, fs::perms(0755), fs::perm_options::replace);
    return path.string();
}

void writeBuild(const fs::path& app, const std::string& build) {
    std::ofstream(app / "Contents" / "Info.plist", std::ios::binary)
        << *PropertyList::encodeBinary(PlistValue(PlistValue::Dict{{"CFBundleVersion", build}}));
}

// How an image's app is made.
struct Image {
    std::string build = "6";
    std::string appName = "Kavri.app";
    std::string signer = team;
    bool trusted = true;
    bool isSigned = true;
    std::size_t payloadBytes = 0;                          // an extra file of random bytes
    std::function<void(const fs::path& app)> afterSigning = {};  // a change the signature does not cover
};

TEST(DownloadProgressTest, OneUpdatePerWholePercentAndNoneWithoutALength) {
    DownloadProgress progress;
    std::vector<double> published;
    for (const auto& [written, expected] : std::vector<std::pair<int, int>>{
             {5, 1000}, {9, 1000}, {10, 1000}, {19, 1000}, {20, 1000}, {500, 0}, {1000, 1000}}) {
        if (const auto f = progress.next(written, expected)) published.push_back(*f);
    }
    EXPECT_EQ(published, (std::vector<double>{0.005, 0.01, 0.02, 1.0}));
}

TEST(MacUpdaterTeamTest, OnlyTheOneTeamLineCountsAndItMustMatchWhole) {
    struct Case {
        std::string description;
        bool ours;
    } cases[] = {
        {"Executable=/x/Kavri.app/Contents/MacOS/kavri\nTeamIdentifier=KV7TEAM0ID\n", true},
        {"TeamIdentifier=KV7TEAM0ID", true},
        {"Executable=/m/TeamIdentifier=KV7TEAM0ID.app/Contents/MacOS/kavri\nTeamIdentifier=OTHER\n", false},
        {"TeamIdentifier=KV7TEAM0IDX\n", false},
        {"TeamIdentifier= KV7TEAM0ID\n", false},
        {"TeamIdentifier=not set\n", false},
        {"Executable=/m/a\nTeamIdentifier=KV7TEAM0ID\n.app\nTeamIdentifier=OTHER\n", false},  // a name with a line feed
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(MacUpdater::namesTeam(c.description, team), c.ours) << c.description;
    EXPECT_FALSE(MacUpdater::namesTeam("TeamIdentifier=\n", ""));
}

class MacUpdaterInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        Deployment::install(plane.deployment());
        fs::create_directories(tmp);
        test::writeFakeBundle(current, "old", launches);
        writeBuild(current, "5");
    }
    void TearDown() override { Deployment::install(saved); }

    MacUpdater::Deps deps(pid_t pid) {
        const std::string tools = binaryDir + "/platform/tools/";
        MacUpdater::Deps d;
        d.bundle = current;
        d.temporaryDirectory = tmp;
        d.pid = pid;
        d.terminateAfter = [this](auto delay) { terminations.push_back(delay); };
        d.tools = {tools + "hdiutil", tools + "codesign", tools + "spctl", tools + "xattr"};
        d.currentBuild = 5;
        d.teamIdentifier = team;
        d.codeSigningRoots = TestPki::shared().caFile();
        HttpSessionConfig config;
        config.caBundle = TestPki::shared().caFile();
        d.downloads = HttpSession(config);
        tweak(d);
        return d;
    }

    // The image's bytes.
    std::string makeImage(const Image& wanted) {
        const fs::path top = temp / ("image-" + std::to_string(++made));
        const fs::path app = top / wanted.appName;
        test::writeFakeBundle(app, "new", launches);
        writeBuild(app, wanted.build);
        if (wanted.payloadBytes) {
            std::mt19937 random(7);
            std::string bytes(wanted.payloadBytes, '\0');
            for (auto& b : bytes) b = static_cast<char>(random());
            std::ofstream(app / "Contents" / "Resources.bin", std::ios::binary) << bytes;
        }
        const fs::path image = top / "Kavri.dmg";
        const auto identity = TestPki::shared().signingIdentity(wanted.signer, wanted.trusted);
        if (wanted.isSigned && !wanted.afterSigning) {
            // As a release makes it.
            const std::string command = binaryDir + "/testing/kavri-pack-update --bundle '" + app.string() +
                                        "' --certificate " + identity.certFile + " --key " + identity.keyFile +
                                        " --output " + image.string();
            EXPECT_EQ(std::system(command.c_str()), 0);
        } else {
            if (wanted.isSigned) CodeSignature::sign(app, identity.certFile, identity.keyFile);
            if (wanted.afterSigning) wanted.afterSigning(app);
            DiskImage::create({app}, image);
        }
        return test::readFile(image);
    }

    // An offer of these image bytes, served by the plane.
    AppUpdateInfo serve(std::string bytes) {
        const std::string name = "Kavri-" + std::to_string(++served) + ".dmg";
        plane.serveFile("/dl/" + name, std::move(bytes));
        return {6, "2.0", name};  // relative: beside the plane's manifest
    }

    // Runs one attempt to its end (a failure, or the app asked to end); every
    // phase published.
    std::vector<Phase> install(const AppUpdateInfo& offer, pid_t pid = noProcess) {
        std::vector<Phase> phases;
        MacUpdater updater(main, deps(pid));
        auto subscription = updater.subscribe([&](auto) { phases.push_back(updater.phase); });
        updater.install(offer);
        EXPECT_TRUE(main.runUntil(
            [&] { return updater.phase->kind == Phase::Kind::failed || !terminations.empty(); },
            std::chrono::seconds(60)));
        return phases;
    }

    void expectUntouched() {
        EXPECT_EQ(test::readFile(current / "Contents" / "version"), "old");
        EXPECT_EQ(entries(apps), std::vector<std::string>{"Kavri.app"});
        EXPECT_EQ(entries(tmp), std::vector<std::string>{});
        EXPECT_TRUE(terminations.empty());
    }

    const Deployment saved = Deployment::current();
    test::TempDir temp;
    const fs::path apps = temp / "apps", current = apps / "Kavri.app", tmp = temp / "tmp", launches = temp / "launches";
    TestControlPlane plane;
    ManualExecutor main;
    std::vector<std::chrono::milliseconds> terminations;
    int made = 0, served = 0;
    // A change to the updater's dependencies for one test.
    std::function<void(MacUpdater::Deps&)> tweak = [](MacUpdater::Deps&) {};
    const std::string tools = binaryDir + "/platform/tools/";
};

TEST_F(MacUpdaterInstallTest, ASignedNewerImageIsStagedNextToTheAppAndSwappedInOnceTheAppEnds) {
    const pid_t app = ::fork();  // stands for the running app
    if (app == 0) {
        ::pause();
        ::_exit(0);
    }
    const auto phases = install(serve(makeImage({.payloadBytes = 3 << 20})), app);

    // Progress in whole percents, each at most once, from 0 to the end (how
    // many between depends on how the bytes arrive), then the checks, then
    // the hand-over.
    ASSERT_GE(phases.size(), 5u);
    EXPECT_EQ(phases.front(), Phase::downloading(0));
    std::vector<int> percents;
    std::size_t i = 0;
    for (; i < phases.size() && phases[i].kind == Phase::Kind::downloading; ++i)
        percents.push_back(static_cast<int>(phases[i].fraction * 100));
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(std::adjacent_find(percents.begin() + 1, percents.end()), percents.end());
    EXPECT_EQ(phases[i - 1], Phase::downloading(1.0));
    EXPECT_EQ(std::vector<Phase>(phases.begin() + i, phases.end()),
              (std::vector<Phase>{Phase::verifying(), Phase::installing()}));
    EXPECT_EQ(terminations, std::vector<std::chrono::milliseconds>{MacUpdater::terminateDelay});

    // Image and mount point are gone; the staged copy waits next to the app.
    EXPECT_EQ(entries(tmp).size(), 1u);  // the swap script
    const auto names = entries(apps);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(names[0].starts_with(".kavri-update-") && names[0].ends_with(".app"));
    EXPECT_EQ(test::readFile(apps / names[0] / "Contents" / "version"), "new");
    EXPECT_NO_THROW(CodeSignature::verify(apps / names[0]));
    EXPECT_EQ(test::readFile(current / "Contents" / "version"), "old");

    ::kill(app, SIGKILL);
    ::waitpid(app, nullptr, 0);
    ASSERT_TRUE(test::eventually([&] { return test::readFile(launches) == "new \n"; }));
    EXPECT_EQ(test::readFile(current / "Contents" / "version"), "new");
    EXPECT_EQ(MacUpdater::bundleBuild(current), 6);
    EXPECT_TRUE(test::eventually([&] { return entries(apps) == std::vector<std::string>{"Kavri.app"}; }));
}

TEST_F(MacUpdaterInstallTest, EveryRefusalHasItsTextAndLeavesTheRunningAppAsItWas) {
    fs::create_directories(temp / "outside");
    std::ofstream(temp / "outside" / "escape") << "x";
    const auto climbing = [&] {
        // An archive whose second entry climbs out of the mount point.
        const fs::path top = temp / "climb";
        test::writeFakeBundle(top / "Kavri.app", "new", launches);
        const std::string command = "tar -C '" + top.string() + "' -czPf '" + (temp / "climb.dmg").string() +
                                    "' Kavri.app ../outside/escape";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return test::readFile(temp / "climb.dmg");
    };
    const auto linkOut = [](const char* target) {
        return [target](const fs::path& app) { fs::create_symlink(target, app / "Contents" / "Resources.link"); };
    };
    struct Case {
        const char* name;
        std::function<AppUpdateInfo()> offer;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"no address", [] { return AppUpdateInfo{6, "2.0", std::nullopt}; }, MacUpdater::noAddressText},
        {"the server has no image", [] { return AppUpdateInfo{6, "2.0", "missing.dmg"}; },
         MacUpdater::serverRefusedText},
        {"an image cut short",
         [&] {
             const std::string whole = makeImage({});
             return serve(whole.substr(0, whole.size() / 2));
         },
         MacUpdater::cannotOpenText},
        {"a path climbing out of the mount point", [&] { return serve(climbing()); }, MacUpdater::cannotOpenText},
        {"a link out of the mount point", [&] { return serve(makeImage({.afterSigning = linkOut("/etc/passwd")})); },
         MacUpdater::cannotOpenText},
        {"a link out of the mount point by way of another link",
         [&] {
             return serve(makeImage({.afterSigning = [](const fs::path& app) {
                 fs::create_symlink("../..", app / "Contents" / "top");
                 fs::create_symlink("top/..", app / "Contents" / "above");
             }}));
         },
         MacUpdater::cannotOpenText},
        {"no app in the image", [&] { return serve(makeImage({.appName = "Kavri"})); }, MacUpdater::noAppText},
        {"an unsigned app", [&] { return serve(makeImage({.isSigned = false})); }, MacUpdater::signatureBrokenText},
        {"one byte changed after signing",
         [&] {
             return serve(makeImage(
                 {.afterSigning = [](const fs::path& app) { std::ofstream(app / "Contents" / "version") << "neW"; }}));
         },
         MacUpdater::signatureBrokenText},
        {"a link out of the bundle", [&] { return serve(makeImage({.afterSigning = linkOut("../../escape")})); },
         MacUpdater::signatureBrokenText},
        {"another team", [&] { return serve(makeImage({.signer = "OTHERTEAM1"})); }, MacUpdater::notOursText},
        {"two signers, in an app whose name carries our team's line",
         [&] {
             return serve(makeImage({.appName = "x\nTeamIdentifier=KV7TEAM0ID\ny.app", .afterSigning = [](const fs::path& app) {
                                         test::writeSignedSeal(app, test::sealOf(app),
                                                               {TestPki::shared().signingIdentity(team),
                                                                TestPki::shared().signingIdentity("OTHERTEAM1")});
                                     }}));
         },
         MacUpdater::notOursText},
        {"another team, in an app named for ours",
         [&] { return serve(makeImage({.appName = "TeamIdentifier=KV7TEAM0ID.app", .signer = "OTHERTEAM1"})); },
         MacUpdater::notOursText},
        {"our team under a root nobody trusts", [&] { return serve(makeImage({.trusted = false})); },
         MacUpdater::assessmentText},
        {"the same build", [&] { return serve(makeImage({.build = "5"})); }, "На раздаче версия 5, у вас уже 5"},
        {"a negative build", [&] { return serve(makeImage({.build = "-7"})); }, "На раздаче версия -7, у вас уже 5"},
        {"a build no number can hold", [&] { return serve(makeImage({.build = "99999999999999999999"})); },
         MacUpdater::noVersionText},
        {"a build that is no number", [&] { return serve(makeImage({.build = "6.1"})); }, MacUpdater::noVersionText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto phases = install(c.offer());
        ASSERT_FALSE(phases.empty());
        EXPECT_EQ(phases.back(), Phase::failed(c.text));
        expectUntouched();
        EXPECT_TRUE(fs::exists(temp / "outside" / "escape"));
        EXPECT_FALSE(fs::exists(temp / "escape"));
        EXPECT_EQ(test::readFile(launches), "");
    }
}

}  // namespace
}  // namespace kavri

namespace kavri {
namespace {

TEST_F(MacUpdaterInstallTest, ADownloadBeyondItsLimitOrStalledEndsWithoutAPartialFile) {
    struct Case {
        const char* name;
        TestControlPlane::Reply reply;
        std::string text;
        // Only the silent server waits for the time limit: the others end on
        // the size limit, however slowly a loaded machine serves them.
        std::chrono::milliseconds idleLimit;
    };
    const std::vector<Case> cases = {
        {"a body that never ends", TestControlPlane::Reply::endless(), MacUpdater::notDownloadedText,
         std::chrono::minutes(1)},
        {"a body announced beyond the limit", TestControlPlane::Reply::withStatus(200, std::string(3 << 20, 'K')),
         MacUpdater::notDownloadedText, std::chrono::minutes(1)},
        {"no byte at all", TestControlPlane::Reply::hang(), "Превышен лимит времени на запрос.",
         std::chrono::milliseconds(500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tweak = [&](MacUpdater::Deps& d) {
            d.maxImageBytes = 1 << 20;
            HttpSessionConfig config = d.downloads.config();
            config.requestTimeout = c.idleLimit;
            d.downloads = HttpSession(config);
        };
        plane.script(c.reply, "/dl/image.dmg");
        const auto phases = install({6, "2.0", "image.dmg"});
        ASSERT_FALSE(phases.empty());
        EXPECT_EQ(phases.back(), Phase::failed(c.text));
        expectUntouched();
    }
}

TEST_F(MacUpdaterInstallTest, ATeamLineFromAnUnfinishedDescriptionOrACopyChangedAfterCopyingIsRefused) {
    struct Case {
        const char* name;
        const char* tool;   // the stand-in in front of the real one
        std::string lines;  // what it does first
        std::string text;
    } cases[] = {
        {"the team line, then a failure", "codesign",
         "if [ \"$1\" = -dv ]; then echo TeamIdentifier=KV7TEAM0ID >&2; exit 1; fi", MacUpdater::notOursText},
        {"the team line on standard output", "codesign",
         "if [ \"$1\" = -dv ]; then echo TeamIdentifier=KV7TEAM0ID; exit 0; fi", MacUpdater::notOursText},
        // The quarantine tool runs on the copy between the copy and the swap.
        {"the copy changed after copying", "xattr", "echo changed >> \"$3/Contents/version\"",
         MacUpdater::signatureBrokenText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.tool;
        const std::string path =
            writeTool(temp / "tools" / name, c.lines + "\nexec " + tools + name + " \"$@\"");
        tweak = [&](MacUpdater::Deps& d) { (name == "xattr" ? d.tools.xattr : d.tools.codesign) = path; };
        const auto phases = install(serve(makeImage({})));
        ASSERT_FALSE(phases.empty());
        EXPECT_EQ(phases.back(), Phase::failed(c.text));
        expectUntouched();
    }
}

TEST_F(MacUpdaterInstallTest, TheLeftoverCleanupPassesByTheCopyOfAnAttemptUnderWay) {
    // The quarantine tool holds the attempt right after the copy until the
    // test lets it go.
    const fs::path started = temp / "started", release = temp / "release";
    const std::string xattr = writeTool(
        temp / "tools" / "xattr", "touch '" + started.string() + "'\nwhile [ ! -e '" + release.string() +
                                      "' ]; do sleep 0.02; done\nexec " + tools + "xattr \"$@\"");
    tweak = [&](MacUpdater::Deps& d) { d.tools.xattr = xattr; };
    const AppUpdateInfo offer = serve(makeImage({}));
    std::ofstream(apps / ".kavri-previous-1.app");  // a real leftover

    const pid_t app = ::fork();  // stands for the running app
    if (app == 0) {
        ::pause();
        ::_exit(0);
    }
    MacUpdater updater(main, deps(app));
    updater.install(offer);
    ASSERT_TRUE(main.runUntil([&] { return fs::exists(started); }, std::chrono::seconds(60)));
    MacUpdater::cleanupLeftovers(current);
    const auto names = entries(apps);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(names[0].starts_with(".kavri-update-"));
    EXPECT_EQ(names[1], "Kavri.app");

    { std::ofstream go(release); }
    EXPECT_TRUE(main.runUntil([&] { return updater.phase->kind == Phase::Kind::failed || !terminations.empty(); },
                              std::chrono::seconds(60)));
    EXPECT_EQ(updater.phase.get(), Phase::installing());
    // Handed over: passed by until the app ends.
    MacUpdater::cleanupLeftovers(current);
    EXPECT_EQ(entries(apps), names);

    ::kill(app, SIGKILL);
    ::waitpid(app, nullptr, 0);
    EXPECT_TRUE(test::eventually([&] { return test::readFile(launches) == "new \n"; }));
    EXPECT_EQ(test::readFile(current / "Contents" / "version"), "new");
}

}  // namespace
}  // namespace kavri

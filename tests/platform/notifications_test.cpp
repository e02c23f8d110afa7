#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/notifications/desktop_notification_center.h"
#include "platform/notifications/freedesktop_notifications.h"
#include "platform/notifications/sd_bus_library.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace kavri {
namespace {

using namespace std::chrono_literals;

// A private message bus: a dbus-daemon of its own listening on a socket in a
// temporary folder. It is ready once it has printed its address, which it
// does only after it listens; the socket file alone appears before that.
class PrivateBus {
public:
    PrivateBus() {
        const auto config = dir_ / "bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type><listen>unix:path="
                              << (dir_ / "bus").string()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        int ready[2];
        if (::pipe(ready) != 0) return;
        const std::string configArg = "--config-file=" + config.string();
        char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>(configArg.c_str()),
                        const_cast<char*>("--nofork"), const_cast<char*>("--nopidfile"),
                        const_cast<char*>("--print-address=3"), nullptr};
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addclose(&actions, ready[0]);  // first: it may be number 3
        ::posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
        if (::posix_spawn(&pid_, "/usr/bin/dbus-daemon", &actions, nullptr, argv, environ) != 0) pid_ = -1;
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
        // The address line, or the end of the pipe when the daemon gives up.
        std::string printed;
        char c = 0;
        while (pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') printed += c;
        ::close(ready[0]);
        listening_ = !printed.empty();
    }
    ~PrivateBus() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    bool running() const { return pid_ > 0 && listening_; }
    std::string address() const { return "unix:path=" + (dir_ / "bus").string(); }

private:
    test::TempDir dir_;
    pid_t pid_ = -1;
    bool listening_ = false;
};

// A notification service on a bus: owns org.freedesktop.Notifications and
// records every Notify call, answering with ids 1, 2, 3...
class NotificationService {
public:
    struct Call {
        std::string appName;
        std::uint32_t replacesId = 0;
        std::string summary;
        std::string body;
        std::map<std::string, std::string> hints;  // text hints; booleans as "true"/"false"
    };

    explicit NotificationService(const std::string& address) : lib_(*SdBusLibrary::get()) {
        if (lib_.new_bus(&bus_) < 0 || lib_.set_address(bus_, address.c_str()) < 0 ||
            lib_.set_bus_client(bus_, 1) < 0 || lib_.start(bus_) < 0 ||
            lib_.add_filter(bus_, &slot_, &NotificationService::onMessage, this) < 0 ||
            lib_.request_name(bus_, "org.freedesktop.Notifications", 0) < 0) {
            return;
        }
        ready_ = true;
        loop_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                while (lib_.process(bus_, nullptr) > 0) {
                }
                lib_.wait(bus_, 20'000);
            }
        });
    }
    ~NotificationService() {
        loop_ = {};
        if (slot_) lib_.slot_unref(slot_);
        if (bus_) lib_.flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }

    std::vector<Call> waitForCalls(std::size_t n) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 60s, [&] { return calls_.size() >= n; });
        return calls_;
    }

private:
    static int onMessage(sd_bus_message* m, void* self, sd_bus_error*) {
        return static_cast<NotificationService*>(self)->handle(m);
    }

    int handle(sd_bus_message* m) {
        if (lib_.message_is_method_call(m, "org.freedesktop.Notifications", "Notify") <= 0) return 0;
        Call call;
        const char *app, *icon, *summary, *body;
        if (lib_.message_read(m, "susss", &app, &call.replacesId, &icon, &summary, &body) < 0) return -1;
        call.appName = app;
        call.summary = summary;
        call.body = body;
        lib_.message_skip(m, "as");
        lib_.message_enter_container(m, 'a', "{sv}");
        while (lib_.message_enter_container(m, 'e', "sv") > 0) {
            const char* key;
            lib_.message_read(m, "s", &key);
            char type;
            const char* contents;
            lib_.message_peek_type(m, &type, &contents);
            lib_.message_enter_container(m, 'v', contents);
            if (contents[0] == 's') {
                const char* value;
                lib_.message_read(m, "s", &value);
                call.hints[key] = value;
            } else if (contents[0] == 'b') {
                int value;
                lib_.message_read(m, "b", &value);
                call.hints[key] = value ? "true" : "false";
            } else {
                lib_.message_skip(m, contents);
            }
            lib_.message_exit_container(m);
            lib_.message_exit_container(m);
        }
        std::uint32_t id;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
            id = static_cast<std::uint32_t>(calls_.size());
            changed_.notify_all();
        }
        return lib_.reply_method_return(m, "u", id);
    }

    const SdBusLibrary& lib_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    bool ready_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::jthread loop_;
};

NotificationRequest immediate(std::string id, std::string body, std::optional<std::string> title = std::nullopt) {
    NotificationRequest r;
    r.identifier = std::move(id);
    r.content.title = std::move(title);
    r.content.body = std::move(body);
    r.content.defaultSound = true;
    return r;
}

NotificationRequest at(std::string id, std::string body, Clock::WallTime when) {
    NotificationRequest r = immediate(std::move(id), std::move(body));
    r.trigger = CalendarDateTrigger::matching(when);
    return r;
}

// A bus address where nothing listens: every notification is logged.
std::shared_ptr<FreedesktopNotifications> loggingPresenter(const test::TempDir& dir) {
    return std::make_shared<FreedesktopNotifications>("unix:path=" + (dir / "no-bus").string());
}

TEST(FreedesktopNotifications, ShowsThroughTheServiceAndReplacesByIdentifier) {
    ASSERT_NE(SdBusLibrary::get(), nullptr) << "libsystemd is not installed";
    if (!std::filesystem::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    PrivateBus bus;
    ASSERT_TRUE(bus.running());
    NotificationService service(bus.address());
    ASSERT_TRUE(service.ready());
    // The reply is the event waited for: a loaded machine may take longer
    // than the product's 3 s to answer.
    FreedesktopNotifications presenter(bus.address(), 60s);

    NotificationRequest link = immediate("trial_notice", "Осталось 2 дня", "Пробный период");
    link.content.userInfo["OPEN_URL"] = "https://pay.example/x";
    link.content.categoryIdentifier = "OPEN_URL";
    EXPECT_TRUE(presenter.notify(immediate("paid", "first")));
    EXPECT_TRUE(presenter.notify(immediate("paid", "second")));
    EXPECT_TRUE(presenter.notify(link));

    const auto calls = service.waitForCalls(3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].appName, "Kavri");
    EXPECT_EQ(calls[0].summary, "Kavri");  // no title: the app's name heads it
    EXPECT_EQ(calls[0].body, "first");
    EXPECT_EQ(calls[0].replacesId, 0u);
    EXPECT_EQ(calls[1].body, "second");
    EXPECT_EQ(calls[1].replacesId, 1u);  // the same kind replaces the shown one
    EXPECT_EQ(calls[2].summary, "Пробный период");
    EXPECT_EQ(calls[2].body, "Осталось 2 дня");
    EXPECT_EQ(calls[2].replacesId, 0u);
    EXPECT_EQ(calls[2].hints.at("x-kavri-OPEN_URL"), "https://pay.example/x");
    EXPECT_EQ(calls[2].hints.at("x-kavri-category"), "OPEN_URL");
}

TEST(FreedesktopNotifications, WithoutAServiceTheNotificationIsLogged) {
    test::TempDir dir;
    LogCapture log;
    auto presenter = loggingPresenter(dir);
    EXPECT_FALSE(presenter->notify(immediate("paid", "x")));
    presenter->present(immediate("autocharge_failed", "Не смогли списать", "Оплата"));
    EXPECT_TRUE(log.contains("[Kavri] notification autocharge_failed: Оплата — Не смогли списать"));
}

class DesktopCenterTest : public ::testing::Test {
protected:
    std::unique_ptr<DesktopNotificationCenter> makeCenter() {
        return std::make_unique<DesktopNotificationCenter>(dir_ / "data", loggingPresenter(dir_), clock_, 1h);
    }
    test::TempDir dir_;
    FakeClock clock_;
    LogCapture log_;
};

TEST_F(DesktopCenterTest, ImmediateRequestsAreShownInOrder) {
    auto center = makeCenter();
    center->add(immediate("paid", "one"));
    center->add(immediate("autocharge_ok", "two"));
    ASSERT_TRUE(center->drain());
    const std::vector<std::string> lines = {"[Kavri] notification paid: one",
                                            "[Kavri] notification autocharge_ok: two"};
    EXPECT_EQ(log_.lines(), lines);
    EXPECT_TRUE(center->pendingRequests().empty());
}

TEST_F(DesktopCenterTest, ScheduledRequestIsShownAtItsMinuteOnce) {
    auto center = makeCenter();
    ASSERT_TRUE(clock_.waitForSleepers(1));
    const auto due = clock_.wallNow() + 10min;
    center->add(at("sub_1d", "tomorrow", due));
    ASSERT_EQ(center->pendingRequests().size(), 1u);
    const auto firesAt = CalendarDateTrigger::matching(due).fireDate();

    ASSERT_TRUE(clock_.waitForSleepers(1));
    clock_.advance(std::chrono::duration_cast<Clock::Duration>(firesAt - clock_.wallNow() - 1s));
    ASSERT_TRUE(clock_.waitForSleepers(1));
    ASSERT_TRUE(center->drain());
    EXPECT_FALSE(log_.containsText("tomorrow"));

    clock_.advance(1s);
    ASSERT_TRUE(log_.waitForText("[Kavri] notification sub_1d: tomorrow"));
    EXPECT_TRUE(center->pendingRequests().empty());
    clock_.advanceInSteps(3h, 30min);
    ASSERT_TRUE(center->drain());
    EXPECT_EQ(log_.count("tomorrow"), 1u);
}

TEST_F(DesktopCenterTest, RequestWhoseMinuteHasBegunIsShownAtOnce) {
    // The trigger keeps no seconds: 20 s ahead within the current minute
    // falls on a minute that has already begun, and must not be lost.
    const auto minuteStart = CalendarDateTrigger::matching(clock_.wallNow()).fireDate();
    clock_.advance(std::chrono::duration_cast<Clock::Duration>(minuteStart + 30s - clock_.wallNow()));
    auto center = makeCenter();
    center->add(at("trial_1d", "twenty seconds", clock_.wallNow() + 20s));
    ASSERT_TRUE(log_.waitForText("[Kavri] notification trial_1d: twenty seconds"));
    EXPECT_TRUE(center->pendingRequests().empty());
}

TEST_F(DesktopCenterTest, PendingRequestSurvivesARestartAndIsShownWhenDueAtStart) {
    {
        auto center = makeCenter();
        center->add(at("trial_ended", "ended", clock_.wallNow() + 2h));
        center->add(at("sub_1d", "later", clock_.wallNow() + 48h));
    }
    EXPECT_FALSE(log_.containsText("ended"));
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "data" / "notifications.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    clock_.advance(3h);  // the program was not running when it fell due
    auto center = makeCenter();
    ASSERT_TRUE(log_.waitForText("[Kavri] notification trial_ended: ended"));
    ASSERT_EQ(center->pendingRequests().size(), 1u);
    EXPECT_EQ(center->pendingRequests()[0].identifier, "sub_1d");
}

TEST_F(DesktopCenterTest, RemovedOrReplacedRequestsAreNotShown) {
    auto center = makeCenter();
    center->add(at("trial_3d", "old text", clock_.wallNow() + 1h));
    center->add(at("trial_3d", "new text", clock_.wallNow() + 2h));
    center->add(at("trial_1d", "removed", clock_.wallNow() + 1h));
    center->removePendingRequests({"trial_1d", "sub_1d"});
    ASSERT_EQ(center->pendingRequests().size(), 1u);

    clock_.advanceInSteps(3h, 20min);
    ASSERT_TRUE(log_.waitForText("new text"));
    ASSERT_TRUE(center->drain());
    EXPECT_FALSE(log_.containsText("old text"));
    EXPECT_FALSE(log_.containsText("removed"));
}

TEST_F(DesktopCenterTest, TwoCentresOverOneFolderShowADueRequestOnce) {
    auto first = makeCenter();
    auto second = makeCenter();
    first->add(at("sub_1d", "once", clock_.wallNow() + 30min));
    clock_.advanceInSteps(2h, 10min);
    ASSERT_TRUE(log_.waitForText("once"));
    ASSERT_TRUE(first->drain());
    ASSERT_TRUE(second->drain());
    EXPECT_EQ(log_.count("once"), 1u);
}

TEST_F(DesktopCenterTest, DamagedPendingFileIsKeptAsideAndReadableEntriesGoOn) {
    std::filesystem::create_directories(dir_ / "data");
    {
        std::ofstream out(dir_ / "data" / "notifications.json");
        out << R"({"pending":[{"identifier":"sub_1d","body":"kept","sound":true,)"
               R"("trigger":{"year":2000,"month":1,"day":1,"hour":0,"minute":0}},{"garbage":1}]})";
    }
    auto center = makeCenter();
    ASSERT_TRUE(log_.waitForText("[Kavri] notification sub_1d: kept"));
    EXPECT_TRUE(log_.containsText("pending notifications file damaged"));
    bool kept = false;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "data")) {
        kept = kept || e.path().filename().string().starts_with("notifications.json.corrupt-");
    }
    EXPECT_TRUE(kept);
}

}  // namespace
}  // namespace kavri

// The durnel program as the system runs it: a process of its own, driven
// over its control socket, with a shared directory of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "tests/support/durnel_fixture.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DurnelProcess : public test::DurnelFixture {};

}  // namespace

TEST_F(DurnelProcess, StartsATunnelOverItsSocket) {
    auto durnel = launch();
    TunnelControlClient client(TunnelControlClient::socketPath(shared));
    std::vector<TunnelStatus> seen;
    std::mutex m;
    client.subscribe([&](const TunnelControlClient::Snapshot& s) {
        std::lock_guard lock(m);
        if (seen.empty() || seen.back() != s.status) seen.push_back(s.status);
    });
    const auto after = client.start(rig.options());
    EXPECT_EQ(after.status, TunnelStatus::connected);
    ASSERT_TRUE(client.waitForStatus(TunnelStatus::connected, 5s));
    {
        std::lock_guard lock(m);
        EXPECT_NE(std::find(seen.begin(), seen.end(), TunnelStatus::connecting), seen.end());
        EXPECT_EQ(seen.back(), TunnelStatus::connected);
    }
    EXPECT_TRUE(KavriStore(shared).boolValue("session_dirty"));
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] >> startTunnel (тонкий клиент)"));
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] cache_file.path -> " + (shared / "cache.db").string()));
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] route.final = proxy"));
    ASSERT_TRUE(rig.waitForEvent("connect_start"));

    const auto stopped = client.stop(ProviderStopReason::userInitiated);
    EXPECT_EQ(stopped.status, TunnelStatus::disconnected);
    EXPECT_EQ(KavriStore(shared).string("last_stop_reason"), "user_initiated");
    EXPECT_FALSE(KavriStore(shared).boolValue("session_dirty"));
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop"));
    EXPECT_EQ(rig.events("tunnel_stop").front()["user_initiated"], true);
}

TEST_F(DurnelProcess, AKilledRunIsReportedByTheNextStart) {
    {
        auto durnel = launch();
        TunnelControlClient client(TunnelControlClient::socketPath(shared));
        ASSERT_EQ(client.start(rig.options()).status, TunnelStatus::connected);
        durnel->kill(SIGKILL);
    }
    EXPECT_TRUE(KavriStore(shared).boolValue("session_dirty"));
    EXPECT_TRUE(rig.events("tunnel_stop").empty());

    auto durnel = launch();
    TunnelControlClient client(TunnelControlClient::socketPath(shared));
    ASSERT_EQ(client.start(rig.options()).status, TunnelStatus::connected);
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop"));
    const auto late = rig.events("tunnel_stop").front();
    EXPECT_EQ(late["stop_reason"], "system_killed");
    EXPECT_EQ(late["detected_late"], true);
    client.stop();
}

// Nothing of one run reaches the next but the shared store: the second run's
// pending refresh is not throttled by the first run's poll, and its first
// heartbeat report measures no window across the time the tunnel was down.
TEST_F(DurnelProcess, EachRunStartsFresh) {
    auto config = rig.config();
    config["_kavri_meta"] = {{"state", "paid"}};
    rig.controlPlane.setSubscription(rig.token, config);
    auto durnel = launch();
    auto client = connect(*durnel);
    ASSERT_TRUE(client);
    auto fetches = [&] {
        std::size_t n = 0;
        for (const auto& r : rig.controlPlane.requests()) n += r.path.rfind("/sub/", 0) == 0;
        return n;
    };
    auto heartbeats = [&] {
        std::vector<nlohmann::json> out;
        for (const auto& r : rig.reports())
            if (r.value("report", "") == "heartbeat") out.push_back(r);
        return out;
    };
    auto eventually = [](auto done, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
        return done();
    };

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        KavriStore(shared).set(KavriDefaultsKey::pendingConfigRefresh, true);
        const std::size_t reportsBefore = heartbeats().size();
        ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected);
        EXPECT_TRUE(eventually([&] { return fetches() == static_cast<std::size_t>(run); }, 20s));
        ASSERT_TRUE(eventually([&] { return heartbeats().size() > reportsBefore; }, 30s));
        EXPECT_FALSE(heartbeats()[reportsBefore].contains("window_ms")) << heartbeats()[reportsBefore].dump();
        EXPECT_EQ(client->stop().status, TunnelStatus::disconnected);
    }
    EXPECT_EQ(fetches(), 2u);
}

namespace {

// CPU time the process has used so far (user and system).
std::chrono::milliseconds cpuTime(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return std::chrono::milliseconds((utime + stime) * 1000 / ::sysconf(_SC_CLK_TCK));
}

// A client that connects to the socket and says nothing; -1 when the
// host's backlog stayed full for a while.
int idleClient(const std::filesystem::path& socket) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket.c_str(), sizeof a.sun_path - 1);
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

}  // namespace

// More idle clients than the host has descriptors for: the host neither
// spins nor stops beating, and serves a new client once some leave.
TEST_F(DurnelProcess, ManyIdleClientsNeitherSpinTheHostNorStopTheTunnel) {
    KavriStore(shared).set(KavriDefaultsKey::appState, std::string("foreground"));
    auto durnel = launch();
    rlimit limit{1024, 1024};
    ASSERT_EQ(::prlimit(durnel->pid(), RLIMIT_NOFILE, &limit, nullptr), 0) << std::strerror(errno);
    auto client = connect(*durnel);
    ASSERT_TRUE(client);
    ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected);

    std::vector<int> idle;
    for (int i = 0, refused = 0; i < 1100 && refused < 3; ++i) {
        const int fd = idleClient(socket());
        refused = fd < 0 ? refused + 1 : 0;
        if (fd >= 0) idle.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);  // the host takes what it takes
    const auto beatsBefore = rig.events("hb").size();
    const auto cpuBefore = cpuTime(durnel->pid());
    std::this_thread::sleep_for(5s);
    const auto used = cpuTime(durnel->pid()) - cpuBefore;
    EXPECT_LT(used, 1000ms) << "the host turned for " << used.count() << " ms of 5 s";
    EXPECT_GT(rig.events("hb").size(), beatsBefore) << "no heartbeat while the clients wait";

    for (std::size_t i = 0; i < idle.size() / 2; ++i) ::close(idle[i]);
    idle.erase(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(idle.size() / 2));
    // The backlog has room again (a client's own connect would wait for it).
    int probe = -1;
    for (int i = 0; i < 50 && probe < 0; ++i) probe = idleClient(socket());
    ASSERT_GE(probe, 0) << "the host takes no client any more";
    ::close(probe);
    std::unique_ptr<TunnelControlClient> late;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!late && std::chrono::steady_clock::now() < deadline) {
        try {
            late = std::make_unique<TunnelControlClient>(socket(), 500ms);
        } catch (const TunnelControlClient::Error&) {
            std::this_thread::sleep_for(20ms);
        }
    }
    ASSERT_TRUE(late) << "no new client was served";
    EXPECT_EQ(late->status().status, TunnelStatus::connected);
    for (const int fd : idle) ::close(fd);
    EXPECT_EQ(client->stop().status, TunnelStatus::disconnected);
}

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/ru_rules.h"
#include "platform/ne/packet_tunnel_provider_base.h"
#include "platform/ne/peer_credentials.h"
#include "platform/ne/run_tunnel_host.h"
#include "platform/ne/tunnel_control_client.h"
#include "platform/ne/tunnel_host.h"
#include "platform/ne/wake_detector.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "platform/runtime/spawner.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// A provider that records what the host calls and completes as told, from
// threads of its own (as a real provider does).
class FakeProvider : public PacketTunnelProviderBase {
public:
    void startTunnel(TunnelOptions options, StartCompletion completion) override {
        std::unique_lock lock(mutex_);
        starts.push_back(std::move(options));
        changed_.notify_all();
        if (holdStart) {
            heldStart = std::move(completion);
            return;
        }
        auto error = startError;
        lock.unlock();
        spawner_.spawn([completion, error] { completion(error); });
    }
    void stopTunnel(ProviderStopReason reason, StopCompletion completion) override {
        {
            std::lock_guard lock(mutex_);
            stops.push_back(static_cast<int>(reason));
            if (stopObserver) stopObserver(static_cast<int>(reason));
            changed_.notify_all();
            if (holdStop) {
                heldStop = std::move(completion);
                return;
            }
        }
        spawner_.spawn([completion] { completion(); });
    }
    void wake() override {
        std::lock_guard lock(mutex_);
        ++wakes;
        changed_.notify_all();
    }
    void handleAppMessage(std::string data, MessageCompletion completion) override {
        std::optional<std::string> reply;
        {
            std::lock_guard lock(mutex_);
            messages.push_back(data);
            reply = replies.count(data) ? replies.at(data) : std::nullopt;
        }
        spawner_.spawn([completion, reply] { completion(reply); });
    }

    template <class Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(*this); });
    }
    template <class T>
    T read(T FakeProvider::*field) {
        std::lock_guard lock(mutex_);
        return this->*field;
    }
    void set(std::function<void(FakeProvider&)> change) {
        std::lock_guard lock(mutex_);
        change(*this);
    }

    // Behaviour (set before the call).
    std::optional<std::string> startError;
    bool holdStart = false;
    StartCompletion heldStart;
    bool holdStop = false;
    StopCompletion heldStop;
    std::map<std::string, std::optional<std::string>> replies;
    std::function<void(int reason)> stopObserver;  // sees stops after the provider is gone
    // What the host called.
    std::vector<TunnelOptions> starts;
    std::vector<int> stops;
    int wakes = 0;
    std::vector<std::string> messages;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Spawner spawner_;  // last: joined before the rest goes
};

// Clock readings for the wake check that the test moves by hand.
struct SleepReadings {
    std::atomic<std::int64_t> slept{0};
    std::atomic<int> reads{0};
    WakeDetector::ReadingsSource source() {
        return [this] {
            ++reads;
            return WakeDetector::Readings{std::chrono::hours(10) + std::chrono::seconds(slept.load()),
                                          std::chrono::hours(10)};
        };
    }
};

class TunnelHostTest : public ::testing::Test {
protected:
    void SetUp() override { makeHost(); }

    void makeHost() {
        host.reset();
        auto owned = std::make_unique<FakeProvider>();
        provider = owned.get();
        TunnelHostConfig config;
        config.directory = dir.path();
        config.wake.interval = 5s;
        config.wake.readings = readings.source();
        host = std::make_unique<TunnelHost>(std::move(owned), config, clock);
    }

    std::unique_ptr<TunnelControlClient> connect() {
        return std::make_unique<TunnelControlClient>(TunnelControlClient::socketPath(dir.path()));
    }

    // Every status event a client sees while the recorder lives.
    struct Recorder {
        explicit Recorder(TunnelControlClient& client) : client(client) {
            subscription = client.subscribe([this](const TunnelControlProtocol::Snapshot& s) {
                std::lock_guard lock(mutex);
                events.push_back(s);
            });
        }
        ~Recorder() { client.unsubscribe(subscription); }
        TunnelControlClient& client;
        int subscription;
        std::mutex mutex;
        std::vector<TunnelControlProtocol::Snapshot> events;
        std::vector<TunnelStatus> statuses() {
            std::lock_guard lock(mutex);
            std::vector<TunnelStatus> out;
            for (auto& e : events) out.push_back(e.status);
            return out;
        }
        TunnelControlProtocol::Snapshot at(std::size_t i) {
            std::lock_guard lock(mutex);
            return events.at(i);
        }
    };

    test::TempDir dir;
    FakeClock clock;
    SleepReadings readings;
    FakeProvider* provider = nullptr;
    std::unique_ptr<TunnelHost> host;
};

using S = TunnelStatus;

// A connection that speaks the wire form by hand, as a person with socat would.
class RawConnection {
public:
    explicit RawConnection(const std::filesystem::path& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "connect";
    }
    ~RawConnection() { ::close(fd_); }
    void write(const std::string& text) { ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size())); }
    // The next line (without its newline); empty at end of stream.
    std::string readLine() {
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return {};
            char chunk[4096];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    json readJson() { return json::parse(readLine()); }
    // The next reply (skipping status events).
    json readReply() {
        for (;;) {
            json j = readJson();
            if (!j.contains("event")) return j;
        }
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace

TEST_F(TunnelHostTest, StartOptionsKeepTheirTypes) {
    const json options = {
        {"configContent", R"({"outbounds":[]})"},
        {"subToken", "токен-42"},
        {"configVersion", 42},
        {"offset", -7},
        {"big", 9007199254740993LL},
        {"ratio", 0.5},
        {"whole", 2.0},
        {"systemProxyEnabled", true},
        {"excludeDefaultRoute", false},
        {"nested", {{"list", {1, "two", false}}}},
        {"nothing", nullptr},
    };
    auto client = connect();
    client->start(options);

    const TunnelOptions got = provider->read(&FakeProvider::starts).at(0);
    EXPECT_EQ(got, options);
    // Integers stay integers (signed or not), doubles stay doubles, booleans
    // stay booleans.
    auto kind = [](const json& v) {
        return v.is_number_integer() ? "integer" : v.is_number_float() ? "double" : v.type_name();
    };
    for (const auto& [key, value] : options.items()) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(got.contains(key));
        EXPECT_STREQ(kind(got[key]), kind(value)) << got[key].dump();
    }
    EXPECT_EQ(got["big"].get<std::int64_t>(), 9007199254740993LL);
}

TEST_F(TunnelHostTest, StartGoesConnectingThenConnectedWithTheConnectedDate) {
    auto client = connect();
    EXPECT_EQ(client->latest().status, S::disconnected);
    Recorder events(*client);
    clock.advance(90s);  // the date must come from the host's clock

    const auto started = client->start(json::object());

    EXPECT_EQ(started.status, S::connected);
    ASSERT_TRUE(started.connectedDate);
    EXPECT_EQ(*started.connectedDate, clock.wallNow());
    EXPECT_EQ(events.statuses(), (std::vector<S>{S::connecting, S::connected}));
    EXPECT_FALSE(events.at(0).connectedDate);
    EXPECT_EQ(events.at(1), started);
    EXPECT_EQ(client->status(), started);
    EXPECT_EQ(host->snapshot(), started);
    // A client that comes later learns the state from its greeting.
    EXPECT_EQ(connect()->latest(), started);
}

TEST_F(TunnelHostTest, StartErrorEndsDisconnectedWithTheError) {
    provider->set([](FakeProvider& p) { p.startError = "engine would not start"; });
    auto client = connect();
    Recorder events(*client);

    try {
        client->start(json::object());
        FAIL() << "the start should fail";
    } catch (const TunnelControlClient::Error& e) {
        EXPECT_STREQ(e.what(), "engine would not start");
    }
    EXPECT_EQ(events.statuses(), (std::vector<S>{S::connecting, S::disconnected}));
    EXPECT_EQ(events.at(1).lastError, "engine would not start");
    EXPECT_EQ(host->snapshot().lastError, "engine would not start");

    // Nothing is stuck: the next start runs, and the old error is gone.
    provider->set([](FakeProvider& p) { p.startError.reset(); });
    const auto started = client->start(json::object());
    EXPECT_EQ(started.status, S::connected);
    EXPECT_FALSE(started.lastError);
}

TEST_F(TunnelHostTest, SecondStartIsRefusedWhileARunIsUnderway) {
    for (const bool whileConnecting : {true, false}) {
        SCOPED_TRACE(whileConnecting ? "connecting" : "connected");
        makeHost();  // a fresh host each round
        provider->set([&](FakeProvider& p) { p.holdStart = whileConnecting; });
        auto client = connect();
        std::future<void> first;
        if (whileConnecting) {
            first = std::async(std::launch::async, [&] { (void)client->start(json::object(), 10s); });
            ASSERT_TRUE(provider->waitUntil([](FakeProvider& p) { return !p.starts.empty(); }));
        } else {
            client->start(json::object());
        }
        auto other = connect();
        EXPECT_THROW(other->start(json::object()), TunnelControlClient::Error);
        EXPECT_EQ(provider->read(&FakeProvider::starts).size(), 1u);
        EXPECT_EQ(host->snapshot().status, whileConnecting ? S::connecting : S::connected);
        if (whileConnecting) {
            provider->read(&FakeProvider::heldStart)(std::nullopt);
            first.get();
        }
    }
}

TEST_F(TunnelHostTest, StopDeliversItsReasonAndEndsDisconnected) {
    struct Case {
        ProviderStopReason reason;
        int raw;
    };
    const Case cases[] = {{ProviderStopReason::userInitiated, 1},
                          {ProviderStopReason::sleep, 15},
                          {static_cast<ProviderStopReason>(17), 17}};
    auto client = connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        client->start(json::object());
        Recorder events(*client);

        const auto stopped = client->stop(c.reason);

        EXPECT_EQ(provider->read(&FakeProvider::stops).back(), c.raw);
        EXPECT_EQ(stopped.status, S::disconnected);
        EXPECT_FALSE(stopped.connectedDate);
        EXPECT_EQ(events.statuses(), (std::vector<S>{S::disconnecting, S::disconnected}));
    }
    // Stopping what is already down asks nothing of the provider.
    EXPECT_EQ(client->stop().status, S::disconnected);
    EXPECT_EQ(provider->read(&FakeProvider::stops).size(), std::size(cases));
}

TEST_F(TunnelHostTest, StopWhileConnectingFailsTheStartAndReachesTheProviderAfterItsStart) {
    provider->set([](FakeProvider& p) { p.holdStart = true; });
    auto client = connect();
    auto starting = std::async(std::launch::async, [&] { return client->start(json::object(), 10s); });
    ASSERT_TRUE(provider->waitUntil([](FakeProvider& p) { return !p.starts.empty(); }));

    auto other = connect();
    auto stopping = std::async(std::launch::async, [&] { return other->stop(ProviderStopReason::userInitiated, 10s); });
    try {
        starting.get();
        FAIL() << "the start should fail";
    } catch (const TunnelControlClient::Error& e) {
        EXPECT_STREQ(e.what(), "the tunnel was stopped before it connected");
    }
    // The stop waits for the provider's start to return.
    EXPECT_EQ(stopping.wait_for(200ms), std::future_status::timeout);
    EXPECT_TRUE(provider->read(&FakeProvider::stops).empty());
    EXPECT_EQ(client->status().status, S::disconnecting);

    // The provider completes its start, twice: the stop follows it once.
    auto completion = provider->read(&FakeProvider::heldStart);
    completion(std::nullopt);
    completion(std::nullopt);
    EXPECT_EQ(stopping.get().status, S::disconnected);
    EXPECT_EQ(provider->read(&FakeProvider::stops).size(), 1u);
    EXPECT_EQ(other->status().status, S::disconnected);
}

// A start that comes while the previous run is stopping waits for that stop
// and then runs; a stop that comes meanwhile ends it before it began.
TEST_F(TunnelHostTest, AStartWhileStoppingWaitsForTheStop) {
    for (const bool stoppedAgain : {false, true}) {
        SCOPED_TRACE(stoppedAgain ? "stopped again meanwhile" : "not stopped again");
        makeHost();
        LogCapture log;
        provider->set([](FakeProvider& p) { p.holdStop = true; });
        auto client = connect();
        client->start(json::object());
        Recorder events(*client);
        auto stopper = connect();
        auto stopping = std::async(std::launch::async, [&] { return stopper->stop(ProviderStopReason::userInitiated, 10s); });
        ASSERT_TRUE(provider->waitUntil([](FakeProvider& p) { return static_cast<bool>(p.heldStop); }));

        auto starter = connect();
        auto starting = std::async(std::launch::async, [&] { return starter->start(json{{"run", 2}}, 10s); });
        ASSERT_TRUE(log.waitForText("start queued until the tunnel has stopped"));
        try {
            connect()->start(json::object());
            FAIL() << "a second waiting start should be refused";
        } catch (const TunnelControlClient::Error& e) {
            EXPECT_STREQ(e.what(), "another start already waits for the tunnel to stop");
        }
        std::future<TunnelControlProtocol::Snapshot> stoppingAgain;
        if (stoppedAgain) {
            stoppingAgain = std::async(std::launch::async, [&] { return connect()->stop(ProviderStopReason::userInitiated, 10s); });
            try {
                starting.get();
                FAIL() << "the waiting start should fail";
            } catch (const TunnelControlClient::Error& e) {
                EXPECT_STREQ(e.what(), "the tunnel was stopped before it connected");
            }
        }
        EXPECT_EQ(provider->read(&FakeProvider::starts).size(), 1u);
        EXPECT_EQ(host->snapshot().status, S::disconnecting);

        provider->read(&FakeProvider::heldStop)();
        EXPECT_EQ(stopping.get().status, S::disconnected);
        if (stoppedAgain) {
            EXPECT_EQ(stoppingAgain.get().status, S::disconnected);
            EXPECT_EQ(provider->read(&FakeProvider::starts).size(), 1u);
            // The event reaches this client after the stops' replies.
            ASSERT_TRUE(client->waitForStatus(S::disconnected, 5s));
            EXPECT_EQ(events.statuses(), (std::vector<S>{S::disconnecting, S::disconnected}));
        } else {
            EXPECT_EQ(starting.get().status, S::connected);
            EXPECT_EQ(provider->read(&FakeProvider::starts).back(), (json{{"run", 2}}));
            ASSERT_TRUE(client->waitForStatus(S::connected, 5s));
            EXPECT_EQ(events.statuses(), (std::vector<S>{S::disconnecting, S::disconnected, S::connecting, S::connected}));
            provider->set([](FakeProvider& p) { p.holdStop = false; });
            EXPECT_EQ(client->stop().status, S::disconnected);
        }
    }
}

// Each run gets a provider of its own, made at its start and dropped once
// its stop has completed (or its start failed).
TEST(TunnelHostRuns, EachRunHasItsOwnProvider) {
    test::TempDir dir;
    std::mutex mutex;
    std::vector<FakeProvider*> made;
    std::atomic<int> alive{0};
    struct Counted : FakeProvider {
        explicit Counted(std::atomic<int>& n) : n_(n) { ++n_; }
        ~Counted() override { --n_; }
        std::atomic<int>& n_;
    };
    TunnelHostConfig config;
    config.directory = dir.path();
    config.wake.interval = 1h;
    auto failNext = std::make_shared<std::atomic<bool>>(false);
    TunnelHost host(
        [&]() -> std::unique_ptr<PacketTunnelProviderBase> {
            auto p = std::make_unique<Counted>(alive);
            if (failNext->exchange(false)) p->startError = "no engine";
            std::lock_guard lock(mutex);
            made.push_back(p.get());
            return p;
        },
        config);
    TunnelControlClient client(TunnelControlClient::socketPath(dir.path()));
    EXPECT_EQ(alive, 0);
    ASSERT_EQ(client.start(json::object()).status, S::connected);
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(client.stop().status, S::disconnected);
    EXPECT_EQ(alive, 0);  // gone before the run counts as disconnected

    failNext->store(true);
    EXPECT_THROW(client.start(json::object()), TunnelControlClient::Error);
    ASSERT_EQ(client.start(json::object()).status, S::connected);
    EXPECT_EQ(alive, 1);
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(made.size(), 3u);
        made.back()->cancelTunnelWithError(std::nullopt);
    }
    EXPECT_TRUE(client.waitForStatus(S::disconnected, 5s));
    EXPECT_TRUE(host.stopAndWait(ProviderStopReason::userInitiated, 5s));
    EXPECT_EQ(alive, 0);
}

TEST_F(TunnelHostTest, MessagesRoundTripAsBytes) {
    struct Case {
        const char* name;
        std::string message;
        std::optional<std::string> reply;
    };
    const Case cases[] = {
        {"text", "ping:127.0.0.1:443", "12"},
        {"empty reply", "revalidate", ""},
        {"no reply", "ping:bad", std::nullopt},
        {"bytes that are not UTF-8", std::string("\xff\x00\xc3(", 4), std::string("\x00\xfe\x80", 3)},
    };
    provider->set([&](FakeProvider& p) {
        for (const Case& c : cases) p.replies[c.message] = c.reply;
    });
    auto client = connect();
    client->start(json::object());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(client->sendMessage(c.message, 3s), c.reply);
        EXPECT_EQ(provider->read(&FakeProvider::messages).back(), c.message);
    }
}

TEST_F(TunnelHostTest, MessagesAndWakeReachTheProviderOnlyWhileConnected) {
    provider->set([](FakeProvider& p) { p.holdStart = true; });
    auto client = connect();
    // Disconnected.
    EXPECT_THROW(client->sendMessage("revalidate", 3s), TunnelControlClient::Error);
    EXPECT_FALSE(client->wake());
    // Connecting.
    auto starting = std::async(std::launch::async, [&] { return client->start(json::object(), 10s); });
    ASSERT_TRUE(provider->waitUntil([](FakeProvider& p) { return !p.starts.empty(); }));
    EXPECT_EQ(client->status().status, S::connecting);
    EXPECT_THROW(client->sendMessage("revalidate", 3s), TunnelControlClient::Error);
    EXPECT_FALSE(client->wake());
    EXPECT_TRUE(provider->read(&FakeProvider::messages).empty());
    EXPECT_EQ(provider->read(&FakeProvider::wakes), 0);
    // Connected.
    provider->read(&FakeProvider::heldStart)(std::nullopt);
    ASSERT_EQ(starting.get().status, S::connected);
    EXPECT_TRUE(client->wake());
    EXPECT_TRUE(provider->waitUntil([](FakeProvider& p) { return p.wakes == 1; }));
    EXPECT_EQ(client->sendMessage("revalidate", 3s), std::nullopt);
    EXPECT_EQ(provider->read(&FakeProvider::messages).size(), 1u);
}

TEST_F(TunnelHostTest, CancelFromTheProviderStopsWithProviderFailed) {
    const std::optional<std::string> errors[] = {"subscription revoked", std::nullopt};
    auto client = connect();
    for (const auto& error : errors) {
        SCOPED_TRACE(error.value_or("no error"));
        client->start(json::object());
        Recorder events(*client);

        provider->cancelTunnelWithError(error);

        ASSERT_TRUE(client->waitForStatus(S::disconnected, 5s));
        EXPECT_EQ(provider->read(&FakeProvider::stops).back(), static_cast<int>(ProviderStopReason::providerFailed));
        EXPECT_EQ(events.statuses(), (std::vector<S>{S::disconnecting, S::disconnected}));
        EXPECT_EQ(events.at(0).lastError, error);
        EXPECT_EQ(client->status().lastError, error);
    }
    // A cancel with no run is ignored.
    provider->cancelTunnelWithError("late");
    EXPECT_EQ(provider->read(&FakeProvider::stops).size(), 2u);
    EXPECT_EQ(client->status().status, S::disconnected);
}

TEST_F(TunnelHostTest, WireFormIsUsableByHand) {
    RawConnection raw(host->socketPath());
    EXPECT_EQ(raw.readJson(), json::parse(R"({"event":"status","status":"disconnected","connectedDate":null})"));

    raw.write("{\"id\":\"a\",\"op\":\"status\"}\r\n");
    EXPECT_EQ(raw.readReply(), json::parse(R"({"id":"a","ok":true,"status":"disconnected","connectedDate":null})"));

    raw.write(R"({"id":1,"op":"start","options":{"subToken":"t","configVersion":3}})" "\n");
    EXPECT_EQ(raw.readJson()["status"], "connecting");
    const json connected = raw.readJson();
    EXPECT_EQ(connected["status"], "connected");
    EXPECT_DOUBLE_EQ(connected["connectedDate"].get<double>(), clock.unixSeconds());
    json reply = raw.readJson();
    EXPECT_EQ(reply["id"], 1);
    EXPECT_EQ(reply["ok"], true);

    provider->set([](FakeProvider& p) {
        p.replies["ok?"] = "ok";
        p.replies[std::string("\x01\xff", 2)] = std::string("\xff", 1);
    });
    raw.write(R"({"id":2,"op":"message","data":{"text":"ok?"}})" "\n");
    EXPECT_EQ(raw.readReply(), json::parse(R"({"id":2,"ok":true,"reply":{"text":"ok"}})"));
    raw.write(R"({"id":3,"op":"message","data":{"base64":"Af8="}})" "\n");
    EXPECT_EQ(raw.readReply(), json::parse(R"({"id":3,"ok":true,"reply":{"base64":"/w=="}})"));
    raw.write(R"({"id":4,"op":"message","data":{"text":"unknown"}})" "\n");
    EXPECT_EQ(raw.readReply(), json::parse(R"({"id":4,"ok":true,"reply":null})"));
    raw.write(R"({"id":5,"op":"wake"})" "\n");
    EXPECT_EQ(raw.readReply(), json::parse(R"({"id":5,"ok":true,"delivered":true})"));

    // The last request may lack its newline when the sender shuts its side.
    raw.write(R"({"id":6,"op":"stop","reason":1})");
    shutdown(raw.fd(), SHUT_WR);
    EXPECT_EQ(raw.readJson()["status"], "disconnecting");
    EXPECT_EQ(raw.readJson()["status"], "disconnected");
    EXPECT_EQ(raw.readReply(), json::parse(R"({"id":6,"ok":true,"status":"disconnected","connectedDate":null})"));
    EXPECT_EQ(provider->read(&FakeProvider::stops), std::vector<int>{1});
}

TEST_F(TunnelHostTest, BadRequestsGetAnErrorAndLoseNothing) {
    auto client = connect();
    client->start(json::object());
    RawConnection raw(host->socketPath());
    raw.readJson();  // greeting
    const std::pair<std::string, std::string> cases[] = {
        {"{not json", "malformed request: not a JSON object"},
        {"[1,2]", "malformed request: not a JSON object"},
        {R"({"id":1})", "malformed request: no \"op\""},
        {R"({"id":1,"op":"launch"})", "unknown op \"launch\""},
        {R"({"id":1,"op":"start","options":"x"})", "malformed request: \"options\" must be an object"},
        {R"({"id":1,"op":"stop","reason":"user"})", "malformed request: \"reason\" must be an integer"},
        {R"({"id":1,"op":"stop","reason":1.5})", "malformed request: \"reason\" must be an integer"},
        {R"({"id":1,"op":"message","data":{"base64":"!!"}})",
         "malformed request: \"data\" must be {\"text\": ...} or {\"base64\": ...}"},
        {R"({"id":1,"op":"message","data":"ping"})",
         "malformed request: \"data\" must be {\"text\": ...} or {\"base64\": ...}"},
        {"{\"id\":1,\"op\":\"message\",\"data\":{\"text\":\"\xff\"}}", "malformed request: not a JSON object"},
        // Read as signed, 2^64 - 1 would pass for -1.
        {R"({"id":1,"op":"stop","reason":18446744073709551615})", "malformed request: \"reason\" must be an integer"},
        // Copying or printing such an id would exhaust the stack.
        {R"({"op":"status","id":)" + std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}",
         "malformed request: nested too deeply"},
        {R"({"id":1,"op":"start","options":{"a":)" + std::string(100, '[') + std::string(100, ']') + "}}",
         "malformed request: nested too deeply"},
    };
    for (const auto& [line, error] : cases) {
        SCOPED_TRACE(line);
        raw.write(line + "\n");
        const json reply = raw.readReply();
        EXPECT_EQ(reply["ok"], false);
        EXPECT_EQ(reply["error"], error);
    }
    // A line longer than allowed ends that connection, and only that one.
    raw.write(std::string(TunnelControlProtocol::maxLineBytes + 10, ' '));
    EXPECT_EQ(raw.readReply()["error"], "request line too long");
    EXPECT_EQ(raw.readLine(), "");
    EXPECT_TRUE(provider->read(&FakeProvider::messages).empty());
    EXPECT_TRUE(provider->read(&FakeProvider::stops).empty());
    EXPECT_EQ(client->status().status, S::connected);
}

TEST(TunnelControlProtocol, AStatusDateBeyondTheClockIsNoDate) {
    for (const double seconds : {1733831931999.5, 1e300, -1e19}) {
        SCOPED_TRACE(seconds);
        const auto s = TunnelControlProtocol::readSnapshot({{"status", "connected"}, {"connectedDate", seconds}});
        ASSERT_TRUE(s);
        EXPECT_EQ(s->status, S::connected);
        EXPECT_FALSE(s->connectedDate);
    }
    const auto s = TunnelControlProtocol::readSnapshot({{"status", "connected"}, {"connectedDate", 1733832000.5}});
    ASSERT_TRUE(s && s->connectedDate);
    EXPECT_EQ(TunnelControlProtocol::toUnixSeconds(*s->connectedDate), 1733832000.5);
}

namespace {

// A provider that prepares the configuration of its start options as the
// extension does before it starts the engine: the text of "configContent",
// its rule-set entries pointed at the local files.
class PreparingProvider : public PacketTunnelProviderBase {
public:
    void startTunnel(TunnelOptions options, StartCompletion completion) override {
        const auto content = options.is_object() ? options.find("configContent") : options.end();
        if (content == options.end() || !content->is_string())
            return completion("no configuration in the start options");
        std::string prepared = RuRules::absolutizeRulePaths(content->get<std::string>()).config;
        {
            std::lock_guard lock(mutex_);
            configs_.push_back(std::move(prepared));
        }
        completion(std::nullopt);
    }
    void stopTunnel(ProviderStopReason, StopCompletion completion) override { completion(); }

    std::vector<std::string> configs() {
        std::lock_guard lock(mutex_);
        return configs_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> configs_;
};

std::string startLine(const json& options) {
    return json{{"id", 1}, {"op", "start"}, {"options", options}}.dump() + "\n";
}

}  // namespace

TEST_F(TunnelHostTest, BadStartOptionsAreAnsweredAndTheHostStaysUp) {
    test::TempDir resources;
    RuRules::setResourcesDirectory(resources.path());
    host.reset();
    auto owned = std::make_unique<PreparingProvider>();
    PreparingProvider* preparing = owned.get();
    TunnelHostConfig config;
    config.directory = dir.path();
    host = std::make_unique<TunnelHost>(std::move(owned), config, clock);

    const std::string deepConfig = std::string(10'000, '[') + std::string(10'000, ']');
    const std::string deepOptions = R"({"id":1,"op":"start","options":)" + std::string(10'000, '{') + "\n";
    struct Case {
        const char* name;
        std::string line;
        std::optional<std::string> error;       // none: the start succeeds
        std::optional<std::string> configSeen;  // what reached the provider's preparation
    };
    const Case cases[] = {
        {"no options", R"({"id":1,"op":"start"})" "\n", "no configuration in the start options", {}},
        {"options of wrong types", startLine({{"configContent", 42}, {"subToken", true}, {"configVersion", "3"}}),
         "no configuration in the start options", {}},
        {"options that are no object", R"({"id":1,"op":"start","options":["configContent"]})" "\n",
         "malformed request: \"options\" must be an object", {}},
        {"configuration that is not JSON", startLine({{"configContent", "{ \"route\": "}}), {}, "{ \"route\": "},
        {"configuration 10,000 levels deep", startLine({{"configContent", deepConfig}}), {}, deepConfig},
        {"options 10,000 levels deep", deepOptions, "malformed request: nested too deeply", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection raw(host->socketPath());
        raw.readJson();  // greeting
        raw.write(c.line);
        const json reply = raw.readReply();
        EXPECT_EQ(reply["ok"], !c.error) << reply.dump();
        if (c.error) {
            EXPECT_EQ(reply["error"], *c.error);
        }
        if (c.configSeen) {
            EXPECT_EQ(preparing->configs().back(), *c.configSeen);
            raw.write(R"({"id":2,"op":"stop"})" "\n");
            EXPECT_EQ(raw.readReply()["status"], "disconnected");
        }
        EXPECT_EQ(connect()->status().status, S::disconnected);
    }

    // 50 MB of configuration: more than a request line may hold. The host
    // answers, drops that connection and goes on serving.
    {
        RawConnection raw(host->socketPath());
        raw.readJson();
        const std::string huge = startLine({{"configContent", std::string(50 * 1024 * 1024, 'x')}});
        std::thread sender([&] {
            for (std::size_t sent = 0; sent < huge.size();) {
                const ssize_t n = ::send(raw.fd(), huge.data() + sent, huge.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;  // the host closed the connection
                sent += static_cast<std::size_t>(n);
            }
        });
        EXPECT_EQ(raw.readReply()["error"], "request line too long");
        sender.join();
    }
    EXPECT_EQ(preparing->configs().size(), 2u);

    // Still serving: a sound start goes through, its configuration prepared.
    auto client = connect();
    client->start({{"configContent", R"({"route":{"rule_set":[{"tag":"other"}]},"log":{}})"}});
    EXPECT_EQ(preparing->configs().back(), R"({"route":{"rule_set":[{"tag":"other"}]},"log":{}})");
    EXPECT_EQ(client->status().status, S::connected);
    RuRules::setResourcesDirectory(std::nullopt);
}

TEST_F(TunnelHostTest, TheSocketBelongsToOneLiveHost) {
    FakeClock otherClock;
    TunnelHostConfig config;
    config.directory = dir.path();
    EXPECT_THROW(TunnelHost(std::make_unique<FakeProvider>(), config, otherClock), std::system_error);
    EXPECT_EQ(connect()->status().status, S::disconnected);  // the first host is untouched

    host.reset();
    EXPECT_FALSE(std::filesystem::exists(dir / "durnel.sock"));
    EXPECT_THROW(connect(), TunnelControlClient::Error);

    // A socket file left by a process that died is taken over.
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, (dir / "durnel.sock").c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    makeHost();
    EXPECT_EQ(connect()->status().status, S::disconnected);
}

TEST(PeerCredentials, OnlyOurUserOrRootIsTrusted) {
    struct Case {
        uid_t peer, own;
        bool trusted;
    };
    const Case cases[] = {{1000, 1000, true}, {0, 1000, true}, {1001, 1000, false}, {1000, 0, false}, {0, 0, true}};
    for (const Case& c : cases) EXPECT_EQ(PeerCredentials::isTrusted(c.peer, c.own), c.trusted) << c.peer << "/" << c.own;

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const auto cred = PeerCredentials::of(pair[0]);
    ASSERT_TRUE(cred);
    EXPECT_EQ(cred->uid, geteuid());
    EXPECT_EQ(cred->pid, getpid());
    EXPECT_TRUE(cred->isTrusted());
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST_F(TunnelHostTest, AClientOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    // Open the directory and the socket file to everyone: the credential
    // check alone must hold.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(host->socketPath().c_str(), 0666), 0);
    const std::string path = host->socketPath().string();
    LogCapture log;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(11);
        const char request[] = "{\"id\":1,\"op\":\"stop\",\"reason\":1}\n";
        (void)!::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        // Everything until the host closes on us (it must, promptly).
        std::string got;
        char buf[512];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) _exit(13);
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        _exit(got == "{\"error\":\"permission denied\",\"id\":null,\"ok\":false}\n" ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(log.containsText("refused a client of uid 65534"));
    // Our own user is still served.
    EXPECT_EQ(connect()->status().status, S::disconnected);
}

TEST(WakeDetector, CountsOnlyTheTimeTheMachineSlept) {
    std::atomic<std::int64_t> bootMs{0}, monoMs{0};
    WakeDetector::Config config;
    config.interval = 1h;
    config.readings = [&] {
        return WakeDetector::Readings{std::chrono::milliseconds(bootMs.load()), std::chrono::milliseconds(monoMs.load())};
    };
    FakeClock clock;
    WakeDetector detector(config, clock, nullptr);
    struct Step {
        std::int64_t run, slept;
        std::optional<std::chrono::milliseconds> seen;
    };
    const Step steps[] = {{5000, 0, std::nullopt}, {5000, 999, std::nullopt}, {0, 1000, 1000ms},
                          {60000, 0, std::nullopt}, {100, 3600000, 3600000ms}};
    for (const Step& s : steps) {
        bootMs += s.run + s.slept;
        monoMs += s.run;
        EXPECT_EQ(detector.check(), s.seen) << s.run << "+" << s.slept;
    }
}

TEST_F(TunnelHostTest, AResumeFromSleepWakesTheProvider) {
    // One check of the detector: the next interval passes and it has looked.
    auto check = [&] {
        ASSERT_TRUE(clock.waitForSleepers(1));
        const int before = readings.reads;
        clock.advance(5s);
        for (int i = 0; i < 5000 && readings.reads == before; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_GT(readings.reads, before);
        ASSERT_TRUE(clock.waitForSleepers(1));
    };
    auto client = connect();
    readings.slept += 120;  // asleep while disconnected: nothing to wake
    check();

    client->start(json::object());
    check();  // awake all along
    readings.slept += 600;
    check();
    ASSERT_TRUE(provider->waitUntil([](FakeProvider& p) { return p.wakes == 1; }));
    check();
    check();
    EXPECT_EQ(provider->read(&FakeProvider::wakes), 1);
}

TEST(RunTunnelHost, ASignalStopsTheTunnelAndEndsTheProcessCleanly) {
    struct Case {
        int signal;
        ProviderStopReason reason;
    };
    for (const Case c : {Case{SIGTERM, ProviderStopReason::providerDisabled},
                         Case{SIGINT, ProviderStopReason::userInitiated}}) {
        SCOPED_TRACE(c.signal);
        test::TempDir dir;
        auto owned = std::make_unique<FakeProvider>();
        std::vector<int> stopsSeen;  // the provider is gone when the run ends
        owned->stopObserver = [&](int reason) { stopsSeen.push_back(reason); };
        std::promise<void> ready;
        TunnelHostRunOptions options;
        options.onReady = [&](TunnelHost&) { ready.set_value(); };
        auto run = std::async(std::launch::async, [&] {
            return runTunnelHost([&]() -> std::unique_ptr<PacketTunnelProviderBase> { return std::move(owned); },
                                 dir.path(), options);
        });
        ready.get_future().wait();
        auto client = std::make_unique<TunnelControlClient>(TunnelControlClient::socketPath(dir.path()));
        client->start(json::object());

        kill(getpid(), c.signal);

        EXPECT_EQ(run.get(), 0);
        EXPECT_EQ(stopsSeen, std::vector<int>{static_cast<int>(c.reason)});
        EXPECT_TRUE(client->waitForStatus(S::disconnected, 5s));
        EXPECT_FALSE(std::filesystem::exists(dir / "durnel.sock"));
    }
}

TEST(TunnelControlClient, RefusesASocketServedByAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to serve a socket as another user";
    // Anyone may create "durnel.sock" in the open shared directory; the start
    // options (with the subscription token) must not go to such a process.
    test::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string path = (dir / "durnel.sock").string();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) _exit(11);
        chmod(path.c_str(), 0666);
        (void)!write(ready[1], "x", 1);
        const int client = accept(fd, nullptr, nullptr);
        const char greeting[] = "{\"event\":\"status\",\"status\":\"disconnected\",\"connectedDate\":null}\n";
        (void)!::send(client, greeting, sizeof greeting - 1, MSG_NOSIGNAL);
        char buf[256];
        while (::read(client, buf, sizeof buf) > 0) {
        }
        _exit(0);
    }
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    try {
        TunnelControlClient client(path);
        ADD_FAILURE() << "a socket of uid 65534 was trusted";
    } catch (const TunnelControlClient::Error& e) {
        EXPECT_NE(std::string(e.what()).find("not served by our user or root (uid 65534)"), std::string::npos) << e.what();
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

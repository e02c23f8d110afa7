#include "app/stack/stack_pinger.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include "app/runtime/manual_executor.h"
#include "platform/runtime/fake_clock.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using Location = StackAPI::Catalog::Location;

Location at(std::string id, std::optional<std::string> host = "h", std::optional<std::int64_t> port = 443) {
    Location l;
    l.id = std::move(id);
    l.probeHost = std::move(host);
    l.probePort = port;
    return l;
}

// A connector whose connections stay open until the test lets them go;
// each records how many had ended when it began.
class GatedConnector {
public:
    StackPinger::Connector connector() {
        return [this](const std::string& host, std::uint16_t port, std::chrono::milliseconds, std::stop_token) {
            std::unique_lock lock(mutex_);
            starts_.push_back({host + ":" + std::to_string(port), ended_});
            const auto ticket = starts_.size();
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_ >= ticket; });
            ++ended_;
            const auto found = replies_.find(host);
            return found == replies_.end() ? std::optional<std::int64_t>(42) : found->second;
        };
    }
    void reply(const std::string& host, std::optional<std::int64_t> ms) { replies_[host] = ms; }
    std::size_t started() {
        std::lock_guard lock(mutex_);
        return starts_.size();
    }
    // How many had ended when the n-th connection (from 0) began.
    std::size_t endedBefore(std::size_t n) {
        std::lock_guard lock(mutex_);
        return starts_.at(n).second;
    }
    std::string target(std::size_t n) {
        std::lock_guard lock(mutex_);
        return starts_.at(n).first;
    }
    void releaseAll() {
        std::lock_guard lock(mutex_);
        released_ = SIZE_MAX;
        changed_.notify_all();
    }
    void releaseUpTo(std::size_t n) {
        std::lock_guard lock(mutex_);
        released_ = n;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, std::size_t>> starts_;
    std::size_t ended_ = 0, released_ = 0;
    std::map<std::string, std::optional<std::int64_t>> replies_;
};

class StackPingerTest : public ::testing::Test {
protected:
    ~StackPingerTest() override {
        gate.releaseAll();
        pinger.reset();
    }
    bool until(const std::function<bool()>& done) { return main.runUntil(done, 60s); }

    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1))};
    GatedConnector gate;
    std::unique_ptr<StackPinger> pinger = std::make_unique<StackPinger>(main, clock, gate.connector());
};

TEST_F(StackPingerTest, NineLocationsAreMeasuredInBatchesOfFourFourAndOne) {
    std::vector<Location> nine;
    for (int i = 0; i < 9; ++i) nine.push_back(at("l" + std::to_string(i), "h" + std::to_string(i)));
    gate.reply("h3", 7);   // too fast to count
    gate.reply("h4", 10);  // just enough
    gate.reply("h5", std::nullopt);
    pinger->probe(nine);

    for (const std::size_t batchEnd : {4u, 8u, 9u}) {
        ASSERT_TRUE(until([&] { return gate.started() == batchEnd; }));
        gate.releaseUpTo(batchEnd);
    }
    ASSERT_TRUE(until([&] { return pinger->results->size() == 7; }));
    for (std::size_t n = 0; n < 9; ++n) EXPECT_EQ(gate.endedBefore(n), n < 4 ? 0u : n < 8 ? 4u : 8u) << n;
    std::set<std::string> firstBatch;
    for (std::size_t n = 0; n < 4; ++n) firstBatch.insert(gate.target(n));
    EXPECT_EQ(firstBatch, (std::set<std::string>{"h0:443", "h1:443", "h2:443", "h3:443"}));
    EXPECT_EQ(gate.target(8), "h8:443");
    EXPECT_FALSE(pinger->results->contains("l3"));
    EXPECT_EQ(pinger->results->at("l4"), 10);
    EXPECT_FALSE(pinger->results->contains("l5"));

    // Measured ones come from the cache for 60 s; the rest are measured again.
    clock.advance(30s);
    pinger->probe(nine);
    ASSERT_TRUE(until([&] { return gate.started() == 11; }));
    gate.releaseAll();
    main.runUntilIdle();
    EXPECT_EQ((std::set<std::string>{gate.target(9), gate.target(10)}), (std::set<std::string>{"h3:443", "h5:443"}));
}

TEST_F(StackPingerTest, ANewProbeCancelsTheRunButItsBatchInFlightIsPublished) {
    std::vector<Location> first;
    for (int i = 0; i < 6; ++i) first.push_back(at("a" + std::to_string(i), "a" + std::to_string(i)));
    pinger->probe(first);
    ASSERT_TRUE(until([&] { return gate.started() == 4; }));

    pinger->probe({at("b0", "b0")});
    ASSERT_TRUE(until([&] { return gate.started() == 5; }));
    EXPECT_EQ(gate.target(4), "b0:443");
    gate.releaseAll();
    ASSERT_TRUE(until([&] { return pinger->results->size() == 5; }));
    main.runUntilIdle();
    EXPECT_EQ(gate.started(), 5u);  // a4 and a5 were never measured
    EXPECT_FALSE(pinger->results->contains("a4"));
}

TEST_F(StackPingerTest, OnlyUsableEndpointsAreProbedAndTheTunnelIsUsedWhenUp) {
    // No endpoint, an empty host, no port, ports the wire cannot carry.
    pinger->probe({at("none", std::nullopt), at("empty", ""), at("noport", "h", std::nullopt),
                   at("zero", "h", 0), at("big", "h", 65536 + 443), at("negative", "h", -1)});
    main.runUntilIdle();
    EXPECT_EQ(gate.started(), 0u);
    EXPECT_TRUE(pinger->results->empty());

    std::vector<std::string> throughTunnel;
    std::mutex mutex;
    pinger->extensionProbe = [&](const std::string& host, int port) -> std::optional<std::int64_t> {
        std::lock_guard lock(mutex);
        throughTunnel.push_back(host + ":" + std::to_string(port));
        return 3;  // the tunnel's figure is taken as it is
    };
    bool up = true;
    pinger->tunnelActive = [&] { return up; };
    pinger->probe({at("t", "t", 8443), at("big", "h", 65536 + 443)});
    ASSERT_TRUE(until([&] { return pinger->results->contains("t"); }));
    main.runUntilIdle();
    EXPECT_EQ(throughTunnel, (std::vector<std::string>{"t:8443"}));
    EXPECT_EQ(pinger->results->at("t"), 3);
    EXPECT_EQ(gate.started(), 0u);

    // Up, but without the tunnel's probe: direct.
    pinger->extensionProbe = nullptr;
    pinger->probe({at("d", "d")});
    ASSERT_TRUE(until([&] { return gate.started() == 1; }));
    gate.releaseAll();
    ASSERT_TRUE(until([&] { return pinger->results->contains("d"); }));
}

}  // namespace
}  // namespace kavri

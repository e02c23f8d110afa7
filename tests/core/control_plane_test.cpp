#include "core/control_plane.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "platform/runtime/fake_clock.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

class ControlPlaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        Deployment d = Deployment::builtIn();
        d.hosts = {{"localhost", {}}, {"127.0.0.2:2053", {}}, {"127.0.0.3", {"127.0.0.3"}}, {"127.0.0.4", {"127.0.0.4"}}};
        Deployment::install(d);
    }

    std::vector<std::string> order() {
        std::vector<std::string> out;
        for (const auto& h : ControlPlane::orderedHosts(store)) out.push_back(h.host);
        return out;
    }
    void storeFallbacks(const nlohmann::json& list) {
        store.set(KavriDefaultsKey::cpFallbacksJSON, Data{list.dump()});
    }

    test::TempDir dir;
    KavriStore store{dir.path()};
    FakeClock clock;
};

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string messageOf(const std::exception_ptr& e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return ex.what();
    }
    return "";
}

}  // namespace

TEST_F(ControlPlaneTest, BuiltInOrderWithNothingStored) {
    EXPECT_EQ(order(), (std::vector<std::string>{"localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}));
    const auto hosts = ControlPlane::orderedHosts(store);
    EXPECT_EQ(hosts[2].pinnedIPs, std::vector<std::string>{"127.0.0.3"});
    EXPECT_EQ(hosts[1].baseURL().value(), "https://127.0.0.2:2053");
}

TEST_F(ControlPlaneTest, OrderingCases) {
    struct Case {
        const char* name;
        nlohmann::json fallbacks;  // null: none stored
        std::optional<std::string> lastGood;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"remembered host in other case comes first, spelled as listed, once",
         nullptr, "LOCALHOST", {"localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}},
        {"remembered built-in host moves to the front",
         nullptr, "127.0.0.3", {"127.0.0.3", "localhost", "127.0.0.2:2053", "127.0.0.4"}},
        {"remembered host no longer listed is ignored",
         nlohmann::json{"fb.local:8443"}, "gone.example", {"fb.local:8443", "localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}},
        {"fallback equal to a built-in host up to case stays at the fallback's place with its case and no pins",
         nlohmann::json{"127.0.0.4", "LocalHost"}, std::nullopt, {"127.0.0.4", "LocalHost", "127.0.0.2:2053", "127.0.0.3"}},
        {"remembered fallback first",
         nlohmann::json{"a.local", "b.local"}, "B.LOCAL", {"b.local", "a.local", "localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}},
        {"invalid stored hosts are skipped",
         nlohmann::json{"bad host", "", "ok.local"}, std::nullopt, {"ok.local", "localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}},
        {"an array with a non-text member counts as no list",
         nlohmann::json{"ok.local", 5}, std::nullopt, {"localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}},
        {"a JSON object counts as no list",
         nlohmann::json{{"a", "b"}}, std::nullopt, {"localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"}},
    };
    for (const auto& c : cases) {
        store.removeObject(KavriDefaultsKey::cpFallbacksJSON);
        store.removeObject(KavriDefaultsKey::cpLastGoodHost);
        if (!c.fallbacks.is_null()) storeFallbacks(c.fallbacks);
        if (c.lastGood) store.set(KavriDefaultsKey::cpLastGoodHost, *c.lastGood);
        EXPECT_EQ(order(), c.expected) << c.name;
    }
}

TEST_F(ControlPlaneTest, StoredFallbacksOfTheWrongKindAreIgnored) {
    const std::vector<std::string> builtIn{"localhost", "127.0.0.2:2053", "127.0.0.3", "127.0.0.4"};
    store.set(KavriDefaultsKey::cpFallbacksJSON, "[\"text.local\"]");  // text, not data
    EXPECT_EQ(order(), builtIn);
    store.set(KavriDefaultsKey::cpFallbacksJSON, Data{"not json"});
    EXPECT_EQ(order(), builtIn);
}

TEST_F(ControlPlaneTest, UpdateFallbacksCleansTheList) {
    auto stored = [&] { return nlohmann::json::parse(store.data(KavriDefaultsKey::cpFallbacksJSON).value()); };

    std::vector<std::string> twelve;
    for (int i = 0; i < 12; ++i) twelve.push_back("h" + std::to_string(i) + ".local");
    ControlPlane::updateFallbacks(twelve, store);
    EXPECT_EQ(stored().size(), 10u);
    EXPECT_EQ(stored()[9], "h9.local");

    ControlPlane::updateFallbacks({"  Mixed.Local:8443\n", "mixed.local:8443", "bad host", "second.local"}, store);
    EXPECT_EQ(stored(), (nlohmann::json{"Mixed.Local:8443", "second.local"}));

    ControlPlane::updateFallbacks({"   ", "", "\n"}, store);  // nothing usable: unchanged
    EXPECT_EQ(stored(), (nlohmann::json{"Mixed.Local:8443", "second.local"}));
    ControlPlane::updateFallbacks({}, store);
    EXPECT_EQ(stored(), (nlohmann::json{"Mixed.Local:8443", "second.local"}));

    // Unicode white space is trimmed like ASCII white space.
    ControlPlane::updateFallbacks({"\u00A0third.local\u00A0", "\u3000fourth.local\u2028"}, store);
    EXPECT_EQ(stored(), (nlohmann::json{"third.local", "fourth.local"}));

    // A host that is not UTF-8 has no JSON form: nothing is stored, nothing thrown.
    EXPECT_NO_THROW(ControlPlane::updateFallbacks({"fifth.local", "bad\xff.local"}, store));
    EXPECT_EQ(stored(), (nlohmann::json{"third.local", "fourth.local"}));
}

TEST_F(ControlPlaneTest, FirstValueWinsAndItsHostIsRemembered) {
    std::vector<std::string> tried;
    const int value = ControlPlane::withFailover(
        60,
        [&](const std::string& base) {
            tried.push_back(base);
            if (tried.size() < 3) throw ControlPlane::RetryNextHost(std::make_exception_ptr(Failure("down")));
            return 7;
        },
        clock, store);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(tried, (std::vector<std::string>{"https://localhost", "https://127.0.0.2:2053", "https://127.0.0.3"}));
    EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost).value(), "127.0.0.3");
    EXPECT_EQ(order().front(), "127.0.0.3");
}

TEST_F(ControlPlaneTest, OtherErrorsEndTheWalkAtOnce) {
    store.set(KavriDefaultsKey::cpLastGoodHost, "127.0.0.4");
    int attempts = 0;
    EXPECT_THROW(ControlPlane::withFailover(
                     60,
                     [&](const std::string&) -> int {
                         ++attempts;
                         throw Failure("401");
                     },
                     clock, store),
                 Failure);
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(store.string(KavriDefaultsKey::cpLastGoodHost).value(), "127.0.0.4");
}

TEST_F(ControlPlaneTest, ExhaustedCarriesTheLastHostsError) {
    int attempts = 0;
    try {
        ControlPlane::withFailover(
            60,
            [&](const std::string&) -> int {
                ++attempts;
                throw ControlPlane::RetryNextHost(std::make_exception_ptr(Failure("host " + std::to_string(attempts))));
            },
            clock, store);
        FAIL();
    } catch (const ControlPlane::Exhausted& e) {
        EXPECT_EQ(messageOf(e.lastError), "host 4");
        // Every host tried, in order, each with its own error.
        const auto hosts = ControlPlane::orderedHosts(store);
        ASSERT_EQ(e.attempts.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(e.attempts[i].host, hosts[i].host);
            EXPECT_EQ(messageOf(e.attempts[i].error), "host " + std::to_string(i + 1));
        }
    }
    EXPECT_EQ(attempts, 4);
    EXPECT_FALSE(store.string(KavriDefaultsKey::cpLastGoodHost));
}

TEST_F(ControlPlaneTest, BudgetIsCheckedOnlyBeforeAnAttempt) {
    // Zero budget: no attempt at all, Exhausted without an error.
    int attempts = 0;
    try {
        ControlPlane::withFailover(0, [&](const std::string&) { return ++attempts; }, clock, store);
        FAIL();
    } catch (const ControlPlane::Exhausted& e) {
        EXPECT_FALSE(e.lastError);
        EXPECT_TRUE(e.attempts.empty());
        EXPECT_TRUE(e.attempts.empty());
    }
    EXPECT_EQ(attempts, 0);

    // The deadline passes while the third attempt runs: its value counts.
    attempts = 0;
    auto slow = [&](bool thirdSucceeds) {
        return [&, thirdSucceeds](const std::string&) -> int {
            ++attempts;
            clock.advance(4s);
            if (attempts == 3 && thirdSucceeds) return 3;
            throw ControlPlane::RetryNextHost();
        };
    };
    EXPECT_EQ(ControlPlane::withFailover(10, slow(true), clock, store), 3);

    // Had it failed, the walk stops before the fourth host.
    attempts = 0;
    store.removeObject(KavriDefaultsKey::cpLastGoodHost);
    EXPECT_THROW(ControlPlane::withFailover(10, slow(false), clock, store), ControlPlane::Exhausted);
    EXPECT_EQ(attempts, 3);
}

TEST_F(ControlPlaneTest, RetryWithoutAReasonClearsTheLastError) {
    int attempts = 0;
    try {
        ControlPlane::withFailover(
            60,
            [&](const std::string&) -> int {
                ++attempts;
                if (attempts < 4) throw ControlPlane::RetryNextHost(std::make_exception_ptr(Failure("x")));
                throw ControlPlane::RetryNextHost();
            },
            clock, store);
        FAIL();
    } catch (const ControlPlane::Exhausted& e) {
        EXPECT_FALSE(e.lastError);
        ASSERT_EQ(e.attempts.size(), 4u);
        EXPECT_FALSE(e.attempts[3].error);
    }
}

#pragma once
// A test of an account sheet: the test control plane as the deployment, a
// token in the keychain, and the real account store over a shared store of
// its own, on a main thread driven by hand.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/runtime/manual_executor.h"
#include "app/subscription_store.h"
#include "core/deployment.h"
#include "core/keychain.h"
#include "core/kavri_http.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

namespace kavri::test {

class AccountFixture : public ::testing::Test {
protected:
    inline static const std::string token = "0123456789abcdef";

    void SetUp() override {
        Deployment::install(plane.deployment());
        Keychain::write(token, Keychain::Item::subToken);
        subscription = std::make_unique<SubscriptionStore>(main, SubscriptionClient(KavriHTTP::api(), shared, clock),
                                                           KavriAPI(KavriHTTP::api(), shared, clock), shared, clock);
    }
    // A sheet's presenter must be gone before this runs.
    void TearDown() override {
        subscription.reset();
        Keychain::deleteItem(Keychain::Item::subToken);
        Deployment::install(saved);
    }

    const Deployment saved = Deployment::current();
    TempDir temp;
    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 3 / 1))};
    TestControlPlane plane;
    KavriStore shared{temp / "shared"};
    std::unique_ptr<SubscriptionStore> subscription;
};

}  // namespace kavri::test

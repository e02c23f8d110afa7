#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/runtime/manual_executor.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"

namespace kavri {
namespace {

class CounterStore : public ObservableStore {
public:
    explicit CounterStore(MainExecutor& main) : ObservableStore(main) {}
    Published<int> count{*this, "count"};
    Published<std::string> label{*this, "label"};
};

TEST(ObservableStoreTest, EveryAssignmentNotifiesEqualValuesIncluded) {
    ManualExecutor main;
    CounterStore store(main);
    std::vector<std::string> seen;
    auto sub = store.subscribe([&](std::string_view field) {
        EXPECT_TRUE(main.isMainThread());
        seen.emplace_back(field);
    });
    store.count = 3;
    store.count = 3;
    store.label = "a";
    EXPECT_EQ(seen, (std::vector<std::string>{"count", "count", "label"}));
    EXPECT_EQ(store.count.get(), 3);
}

TEST(ObservableStoreTest, UnsubscribingInsideARoundAndOutlivingTheStoreAreSafe) {
    ManualExecutor main;
    auto store = std::make_unique<CounterStore>(main);
    int first = 0;
    int second = 0;
    ObservableStore::Subscription b;
    auto a = store->subscribe([&](std::string_view) {
        ++first;
        b.reset();  // the later subscriber is not called in this round
    });
    b = store->subscribe([&](std::string_view) { ++second; });
    store->count = 1;
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);

    auto c = store->subscribe([&](std::string_view) { store.reset(); });
    auto d = store->subscribe([&](std::string_view) { ++second; });
    store->count = 2;  // the store goes away in the middle of the round
    EXPECT_FALSE(store);
    EXPECT_FALSE(d.active());
    a.reset();  // handles outlive the store
    EXPECT_FALSE(c.active());
}

TEST(MainExecutorTest, InvokeFromAnotherThreadRunsOnTheMainThreadAndReturns) {
    ManualExecutor main;
    std::atomic<int> result{0};
    std::thread worker([&] {
        result = main.invoke([&] {
            EXPECT_TRUE(main.isMainThread());
            return 42;
        });
    });
    EXPECT_TRUE(main.runUntil([&] { return result.load() == 42; }));
    worker.join();
    EXPECT_EQ(main.invoke([] { return 7; }), 7);  // on the main thread: at once
}

TEST(MainExecutorTest, InvokeRethrowsAndThrowsStoppedAfterShutdown) {
    ManualExecutor main;
    std::exception_ptr thrown;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        try {
            main.invoke([] { throw std::runtime_error("boom"); });
        } catch (...) {
            thrown = std::current_exception();
        }
        returned = true;
    });
    EXPECT_TRUE(main.runUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_THROW(std::rethrow_exception(thrown), std::runtime_error);

    std::atomic<bool> stopped{false};
    std::thread late([&] {
        try {
            main.invoke([] {});
        } catch (const MainExecutor::Stopped&) {
            stopped = true;
        }
    });
    while (main.pending() == 0) std::this_thread::yield();
    main.shutdown();
    late.join();
    EXPECT_TRUE(stopped);
}

TEST(StoreCallsTest, ACallAppliesItsResultOnTheMainThread) {
    ManualExecutor main;
    CounterStore store(main);
    StoreCalls calls(main);
    calls.start([&](StoreCalls::Call& call) {
        const int fetched = 5;  // the blocking part runs here, off the main thread
        call.onMain([&] { store.count = fetched; });
    });
    EXPECT_TRUE(main.runUntil([&] { return store.count.get() == 5; }));
    calls.waitIdle();
}

TEST(StoreCallsTest, ACancelledCallLeavesTheStateAsItWas) {
    ManualExecutor main;
    CounterStore store(main);
    std::atomic<bool> reached{false};
    {
        StoreCalls calls(main);
        auto handle = calls.start([&](StoreCalls::Call& call) {
            reached = true;
            call.onMain([&] { store.count = 9; });  // queued, not yet run
        });
        while (main.pending() == 0) std::this_thread::yield();
        handle.cancel();
        calls.waitIdle();
        main.runUntilIdle();  // the abandoned step does nothing
    }
    EXPECT_TRUE(reached);
    EXPECT_EQ(store.count.get(), 0);
}

TEST(StoreCallsTest, DestroyingTheSetOnTheMainThreadNeverWaitsForAStepThatNeedsIt) {
    ManualExecutor main;
    CounterStore store(main);
    auto calls = std::make_unique<StoreCalls>(main);
    calls->start([&](StoreCalls::Call& call) {
        call.onMain([&] { store.count = 1; });
        call.onMain([&] { store.count = 2; });
    });
    while (main.pending() == 0) std::this_thread::yield();
    calls.reset();  // cancels; the call gives up waiting for the main thread
    main.runUntilIdle();
    EXPECT_EQ(store.count.get(), 0);
}

}  // namespace
}  // namespace kavri

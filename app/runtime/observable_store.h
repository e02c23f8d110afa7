#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "app/runtime/main_executor.h"

namespace kavri {

// The change-notification base of every app store. Each assignment of a
// published field notifies its subscribers, equal values included, on the
// main thread. Subscribers are called in the order they subscribed; one may
// unsubscribe (itself or another) or destroy the store from inside a call.
class ObservableStore {
public:
    // Called with the name of the field that was just assigned.
    using Handler = std::function<void(std::string_view field)>;

    class Subscription;

    explicit ObservableStore(MainExecutor& main);
    virtual ~ObservableStore();
    ObservableStore(const ObservableStore&) = delete;
    ObservableStore& operator=(const ObservableStore&) = delete;

    // Main thread only. The handle stays valid after the store is gone:
    // unsubscribing then does nothing.
    [[nodiscard]] Subscription subscribe(Handler handler);
    void unsubscribe(Subscription& subscription);

    MainExecutor& mainExecutor() const { return main_; }

protected:
    template <class>
    friend class Published;

    // Tells every subscriber that `field` was assigned. Main thread only.
    void notifyChanged(std::string_view field);

private:
    struct Registry;

    MainExecutor& main_;
    std::shared_ptr<Registry> registry_;
};

// A subscription handle: unsubscribes when destroyed or reset.
class ObservableStore::Subscription {
public:
    Subscription() = default;
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();

    void reset();
    bool active() const;

private:
    friend class ObservableStore;
    Subscription(std::weak_ptr<Registry> registry, int id);

    std::weak_ptr<Registry> registry_;
    int id_ = 0;
};

// A published field of a store, declared as a member of it:
//   Published<bool> isLoading{*this, "isLoading"};
// Reading is free; each assignment notifies the store's subscribers with the
// field's name. Main thread only.
template <class T>
class Published {
public:
    Published(ObservableStore& owner, std::string_view name, T initial = T{})
        : owner_(owner), name_(name), value_(std::move(initial)) {}
    Published(const Published&) = delete;

    Published& operator=(T value) {
        value_ = std::move(value);
        owner_.notifyChanged(name_);
        return *this;
    }

    const T& get() const { return value_; }
    operator const T&() const { return value_; }
    const T* operator->() const { return &value_; }
    std::string_view name() const { return name_; }

private:
    ObservableStore& owner_;
    std::string_view name_;
    T value_;
};

}  // namespace kavri

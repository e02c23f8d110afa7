#include "app/runtime/observable_store.h"

#include <cassert>
#include <vector>

namespace kavri {

struct ObservableStore::Registry {
    std::map<int, std::shared_ptr<Handler>> handlers;
    int nextId = 1;
};

ObservableStore::ObservableStore(MainExecutor& main) : main_(main), registry_(std::make_shared<Registry>()) {}

ObservableStore::~ObservableStore() = default;

ObservableStore::Subscription ObservableStore::subscribe(Handler handler) {
    assert(main_.isMainThread());
    const int id = registry_->nextId++;
    registry_->handlers.emplace(id, std::make_shared<Handler>(std::move(handler)));
    return Subscription(registry_, id);
}

void ObservableStore::unsubscribe(Subscription& subscription) { subscription.reset(); }

void ObservableStore::notifyChanged(std::string_view field) {
    assert(main_.isMainThread());
    // The registry and each handler are held for the whole round, so a
    // handler may unsubscribe or destroy the store while it runs.
    const auto registry = registry_;
    std::vector<std::pair<int, std::shared_ptr<Handler>>> round(registry->handlers.begin(),
                                                                registry->handlers.end());
    for (const auto& [id, handler] : round) {
        if (!registry->handlers.contains(id)) continue;
        (*handler)(field);
    }
}

ObservableStore::Subscription::Subscription(std::weak_ptr<Registry> registry, int id)
    : registry_(std::move(registry)), id_(id) {}

ObservableStore::Subscription::Subscription(Subscription&& other) noexcept
    : registry_(std::move(other.registry_)), id_(other.id_) {
    other.id_ = 0;
}

ObservableStore::Subscription& ObservableStore::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        reset();
        registry_ = std::move(other.registry_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

ObservableStore::Subscription::~Subscription() { reset(); }

void ObservableStore::Subscription::reset() {
    if (auto registry = registry_.lock()) registry->handlers.erase(id_);
    registry_.reset();
    id_ = 0;
}

bool ObservableStore::Subscription::active() const {
    auto registry = registry_.lock();
    return registry && registry->handlers.contains(id_);
}

}  // namespace kavri

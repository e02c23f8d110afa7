#include "platform/engine/engine_script.h"

namespace kavri {

void EngineScript::setDiag(std::optional<nlohmann::json> reply) {
    std::lock_guard lock(mutex_);
    diag_ = std::move(reply);
}

std::optional<nlohmann::json> EngineScript::diag() const {
    std::lock_guard lock(mutex_);
    return diag_;
}

void EngineScript::pushStallDump(nlohmann::json dump) {
    std::lock_guard lock(mutex_);
    stallDumps_.push_back(std::move(dump));
}

std::optional<nlohmann::json> EngineScript::popStallDump() {
    std::lock_guard lock(mutex_);
    if (stallDumps_.empty()) return std::nullopt;
    auto dump = std::move(stallDumps_.front());
    stallDumps_.pop_front();
    return dump;
}

std::size_t EngineScript::pendingStallDumps() const {
    std::lock_guard lock(mutex_);
    return stallDumps_.size();
}

void EngineScript::setConnections(std::optional<nlohmann::json> table) {
    std::lock_guard lock(mutex_);
    connections_ = std::move(table);
}

std::optional<nlohmann::json> EngineScript::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

void EngineScript::noteTunables(nlohmann::json tunables) {
    std::lock_guard lock(mutex_);
    tunables_ = std::move(tunables);
}

std::optional<nlohmann::json> EngineScript::tunables() const {
    std::lock_guard lock(mutex_);
    return tunables_;
}

void EngineScript::noteCloseAll() {
    std::lock_guard lock(mutex_);
    ++closeAllCount_;
}

std::size_t EngineScript::closeAllCount() const {
    std::lock_guard lock(mutex_);
    return closeAllCount_;
}

void EngineScript::holdStarts() {
    std::lock_guard lock(mutex_);
    holdStarts_ = true;
}

void EngineScript::releaseStarts() {
    {
        std::lock_guard lock(mutex_);
        holdStarts_ = false;
    }
    startsReleased_.notify_all();
}

void EngineScript::waitToStart() {
    std::unique_lock lock(mutex_);
    if (!holdStarts_) return;
    startWaited_ = true;
    startsReleased_.notify_all();
    startsReleased_.wait(lock, [&] { return !holdStarts_; });
}

bool EngineScript::startWaited() const {
    std::lock_guard lock(mutex_);
    return startWaited_;
}

void EngineScript::holdReloads() {
    std::lock_guard lock(mutex_);
    holdReloads_ = true;
}

void EngineScript::releaseReloads() {
    {
        std::lock_guard lock(mutex_);
        holdReloads_ = false;
    }
    reloadsReleased_.notify_all();
}

bool EngineScript::waitToReload(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!holdReloads_) return !stop.stop_requested();
    reloadWaited_ = true;
    return reloadsReleased_.wait(lock, stop, [&] { return !holdReloads_; });
}

bool EngineScript::reloadWaited() const {
    std::lock_guard lock(mutex_);
    return reloadWaited_;
}

}  // namespace kavri

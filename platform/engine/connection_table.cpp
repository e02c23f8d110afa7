#include "platform/engine/connection_table.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kavri {
namespace {

bool isAddress(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

nlohmann::json entryJson(const ProxiedConnection& c) {
    const bool literal = isAddress(c.destination.host);
    return {
        {"id", c.id},
        {"metadata",
         {{"network", "tcp"},
          {"type", c.inboundType + "/" + c.inboundTag},
          {"sourceIP", c.source.host},
          {"sourcePort", std::to_string(c.source.port)},
          {"destinationIP", literal ? c.destination.host : ""},
          {"destinationPort", std::to_string(c.destination.port)},
          {"host", literal ? "" : c.destination.host},
          {"dnsMode", "normal"},
          {"processPath", ""}}},
        {"upload", c.upload.load()},
        {"download", c.download.load()},
        {"start", ConnectionTable::formatTime(c.start)},
        {"chains", c.chains},
        {"rule", c.rule},
        {"rulePayload", ""},
    };
}

}  // namespace

void ConnectionTable::add(std::shared_ptr<ProxiedConnection> connection) {
    std::lock_guard lock(mutex_);
    live_.push_back(std::move(connection));
}

void ConnectionTable::remove(const ProxiedConnection& connection) {
    std::lock_guard lock(mutex_);
    live_.erase(std::remove_if(live_.begin(), live_.end(), [&](const auto& c) { return c.get() == &connection; }),
                live_.end());
}

void ConnectionTable::countUpload(ProxiedConnection& connection, std::uint64_t bytes) {
    connection.upload += bytes;
    uploadTotal_ += bytes;
}

void ConnectionTable::countDownload(ProxiedConnection& connection, std::uint64_t bytes) {
    connection.download += bytes;
    downloadTotal_ += bytes;
}

nlohmann::json ConnectionTable::toJson() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& c : live()) list.push_back(entryJson(*c));
    return {{"downloadTotal", downloadTotal_.load()},
            {"uploadTotal", uploadTotal_.load()},
            {"connections", std::move(list)},
            {"memory", 0}};
}

std::size_t ConnectionTable::size() const {
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::vector<std::shared_ptr<ProxiedConnection>> ConnectionTable::live() const {
    std::lock_guard lock(mutex_);
    return live_;
}

std::size_t ConnectionTable::closeAll() {
    const auto all = live();
    for (const auto& c : all) c->close();
    return all.size();
}

bool ConnectionTable::close(const std::string& id) {
    for (const auto& c : live())
        if (c->id == id) {
            c->close();
            return true;
        }
    return false;
}

std::string ConnectionTable::formatTime(Clock::WallTime t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
    return out;
}

}  // namespace kavri

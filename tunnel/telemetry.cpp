#include "tunnel/telemetry.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "core/control_plane.h"
#include "core/deployment.h"
#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "platform/power/low_power_mode.h"
#include "platform/runtime/system_info.h"

namespace kavri {
namespace {

using json = nlohmann::json;
using namespace std::chrono;

// A JSON integer (or a whole double) as a 64-bit integer; booleans and other
// types are no numbers here.
std::optional<std::int64_t> asInt64(const json& v) {
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::int64_t intOr0(const json& obj, const char* key) {
    if (!obj.is_object()) return 0;
    const auto it = obj.find(key);
    return it == obj.end() ? 0 : asInt64(*it).value_or(0);
}

// Byte counts come from the engine's replies; sums and differences of
// values out of range stop at the limits instead of overflowing.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
    return r;
}

double secondsBetween(Clock::WallTime from, Clock::WallTime to) { return duration<double>(to - from).count(); }

std::int64_t truncated(double v) {
    if (!std::isfinite(v)) return v > 0 ? INT64_MAX : (v < 0 ? INT64_MIN : 0);
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

}  // namespace

Telemetry::Telemetry(Clock& clock, KavriStore& store) : Telemetry(clock, store, Settings{}) {}

Telemetry::Telemetry(Clock& clock, KavriStore& store, Settings settings)
    : clock_(clock), store_(store), settings_(std::move(settings)) {
    HttpSessionConfig config;
    config.requestTimeout = 8s;
    config.resourceTimeout = hours(24 * 7);
    session_ = HttpSession(config);
    fields_.pathChangedAt = clock_.wallNow();
}

Telemetry::Fields Telemetry::fields() const {
    std::lock_guard lock(mutex_);
    return fields_;
}

std::string Telemetry::clientVersion(const PlistValue::Dict& info) { return KavriConstants::versionText(info); }

std::optional<std::string> Telemetry::networkType(const NetworkPath& path) {
    if (path.status != NetworkPath::Status::satisfied || path.availableInterfaces.empty()) return std::nullopt;
    switch (path.availableInterfaces.front().type) {
        case NetworkPath::InterfaceType::wifi: return "wifi";
        case NetworkPath::InterfaceType::cellular: return "cellular";
        case NetworkPath::InterfaceType::wiredEthernet: return "ethernet";
        default: return "other";
    }
}

std::string Telemetry::clientVersion() { return KavriConstants::versionText(); }

std::string Telemetry::osVersion() { return SystemInfo::osVersion(); }

Telemetry::Report Telemetry::envelope(const std::string& token) const {
    const Fields f = fields();
    const auto now = clock_.wallNow();
    Report r = Report::object();
    r["sub_token"] = token;
    r["ts"] = truncated(duration<double>(now.time_since_epoch()).count());
    r["platform"] = KavriConstants::platformName;
    r["app_version"] = clientVersion();
    r["os_version"] = osVersion();
    if (f.deviceID) r["device_id"] = *f.deviceID;
    if (f.networkType) r["network_type"] = *f.networkType;
    if (f.radioTech) r["radio_tech"] = *f.radioTech;
    if (f.configVersion) r["config_version"] = *f.configVersion;
    if (f.surfaceID) r["surface_id"] = *f.surfaceID;
    if (!f.memberDelays.empty()) r["member_delays"] = f.memberDelays;
    r["seconds_since_path_change"] = truncated(secondsBetween(f.pathChangedAt, now));
    r["low_power_mode"] = LowPowerMode::isOn(settings_.powerProfilePath);
    r["app_state"] = store_.string(KavriDefaultsKey::appState).value_or("unknown");
    r["client_version"] = clientVersion();
    r["sw_version"] = f.stallWatchVersion;
    if (f.sessionID) r["session_id"] = *f.sessionID;
    r["path_ok"] = !f.pathSatisfied ? "unknown" : (*f.pathSatisfied ? "yes" : "no");
    r["path_ok_kind"] = "nw_satisfied";
    return r;
}

void Telemetry::post(const Report& report, std::stop_token stop) const {
    std::string body;
    try {
        body = report.dump();
    } catch (const json::exception&) {
        return;  // not serialisable: dropped
    }
    std::vector<std::string> urls;
    for (const auto& host : ControlPlane::orderedHosts(store_))
        if (auto base = host.baseURL()) urls.push_back(*base + "/telemetry");
    if (urls.size() > 2) urls.resize(2);

    HttpSessionConfig config = session_.config();
    config.caBundle = Deployment::current().caBundle;
    const HttpSession session(config);
    for (const auto& url : urls) {
        if (stop.stop_requested()) return;
        HttpRequest request;
        request.method = "POST";
        request.url = url;
        request.timeout = 60s;
        request.headers = {{"Content-Type", "application/json"}, {"User-Agent", "KavriApp iOS-NE"}};
        request.body = body;
        try {
            const auto reply = session.send(request, stop);
            if (reply.status >= 200 && reply.status <= 299) return;
        } catch (const HttpError&) {
        }
    }
}

void Telemetry::sendEvent(const std::string& token, const std::string& event,
                          const std::optional<std::string>& failPhase, const Report& fields,
                          std::stop_token stop) const {
    Report r = envelope(token);
    r["report"] = "event";
    r["event"] = event;
    if (failPhase) r["fail_phase"] = *failPhase;
    if (fields.is_object())
        for (const auto& [k, v] : fields.items()) r[k] = v;
    post(r, stop);
}

std::optional<json> Telemetry::clashJSON(const std::string& path, std::stop_token stop) const {
    HttpRequest request;
    request.url = settings_.clashBase + "/" + path;
    request.timeout = 5s;
    const std::string secret = fields().clashSecret;
    if (!secret.empty()) request.headers.emplace_back("Authorization", "Bearer " + secret);
    try {
        const auto reply = session_.send(request, stop);
        auto parsed = json::parse(reply.body, nullptr, false);
        if (parsed.is_object()) return parsed;
    } catch (const HttpError&) {
    }
    return std::nullopt;
}

std::optional<Telemetry::Snapshot> Telemetry::sampleConnections(std::stop_token stop) {
    const auto conns = clashJSON("connections", stop);
    if (!conns) return std::nullopt;

    Snapshot s;
    {
        std::lock_guard lock(mutex_);
        const std::int64_t downTotal = intOr0(*conns, "downloadTotal");
        const std::int64_t upTotal = intOr0(*conns, "uploadTotal");
        const auto listIt = conns->find("connections");
        const bool isList = listIt != conns->end() && listIt->is_array();
        s.connTotal = isList ? static_cast<std::int64_t>(listIt->size()) : 0;

        const auto now = clock_.wallNow();
        double window = 0;
        if (lastSampleAt_) {
            window = secondsBetween(*lastSampleAt_, now);
            s.windowMs = truncated(window * 1000);
        }
        if (downTotal != lastDownTotal_ || !fields_.lastDownMoveAt) fields_.lastDownMoveAt = now;
        if (upTotal != lastUpTotal_ || !fields_.lastUpMoveAt) fields_.lastUpMoveAt = now;
        s.msSinceLastByteDown = truncated(secondsBetween(*fields_.lastDownMoveAt, now) * 1000);
        s.msSinceLastByteUp = truncated(secondsBetween(*fields_.lastUpMoveAt, now) * 1000);
        lastDownTotal_ = downTotal;
        lastUpTotal_ = upTotal;
        lastSampleAt_ = now;

        const bool listOfObjects =
            isList && std::all_of(listIt->begin(), listIt->end(), [](const json& c) { return c.is_object(); });
        if (listOfObjects) {
            std::map<std::string, std::int64_t> hist{{"lt2k", 0}, {"2k_8k", 0}, {"8k_32k", 0}, {"gt32k", 0}};
            std::int64_t connNew = 0, active = 0, stalled = 0, carrying = 0, silentOpen = 0;
            std::int64_t downDelta = 0, upDelta = 0;
            std::vector<std::int64_t> silences;
            std::set<std::string> seen, group;
            const double stalledAge = static_cast<double>(fields_.stalledAgeSec);
            for (const auto& c : *listIt) {
                const auto idIt = c.find("id");
                if (idIt == c.end() || !idIt->is_string()) continue;
                const std::string id = idIt->get<std::string>();
                seen.insert(id);
                const std::int64_t up = intOr0(c, "upload");
                const std::int64_t down = intOr0(c, "download");
                const std::int64_t total = saturatingAdd(up, down);

                auto first = connFirstSeen_.find(id);
                const bool seenBefore = first != connFirstSeen_.end();
                if (!seenBefore) {
                    first = connFirstSeen_.emplace(id, now).first;
                    ++connNew;
                }
                if (total < 1) {
                    if (seenBefore && secondsBetween(first->second, now) > stalledAge) ++stalled;
                } else {
                    ++active;
                }

                if (auto move = connLastMove_.find(id); move != connLastMove_.end()) {
                    if (move->second.bytes != total) {
                        ++carrying;
                        move->second = {now, total};
                    } else {
                        const double silent = secondsBetween(move->second.at, now);
                        if (silent > stalledAge) {
                            ++silentOpen;
                            silences.push_back(truncated(silent * 1000));
                            const char* bucket = down <= 2047   ? "lt2k"
                                                 : down <= 8191  ? "2k_8k"
                                                 : down <= 32767 ? "8k_32k"
                                                                 : "gt32k";
                            ++hist[bucket];
                        }
                    }
                } else {
                    connLastMove_.emplace(id, Move{now, total});
                }

                std::vector<std::string> chains;
                if (const auto ch = c.find("chains"); ch != c.end() && ch->is_array() &&
                                                      std::all_of(ch->begin(), ch->end(),
                                                                  [](const json& x) { return x.is_string(); }))
                    chains = ch->get<std::vector<std::string>>();
                auto contains = [&](const std::string& t) {
                    return std::find(chains.begin(), chains.end(), t) != chains.end();
                };
                const bool inGroup = fields_.activeMember && contains(*fields_.activeMember)
                                         ? true
                                         : contains(fields_.groupTag);
                if (!inGroup) continue;
                group.insert(id);
                if (auto entry = connBytesLedger_.find(id); entry != connBytesLedger_.end()) {
                    if (entry->second.down < down)
                        downDelta = saturatingAdd(downDelta, saturatingSub(down, entry->second.down));
                    if (entry->second.up < up)
                        upDelta = saturatingAdd(upDelta, saturatingSub(up, entry->second.up));
                }
                connBytesLedger_[id] = {down, up};
            }
            std::erase_if(connFirstSeen_, [&](const auto& e) { return !seen.count(e.first); });
            std::erase_if(connLastMove_, [&](const auto& e) { return !seen.count(e.first); });
            std::erase_if(connBytesLedger_, [&](const auto& e) { return !group.count(e.first); });

            s.connNew = connNew;
            s.connActive = active;
            s.connStalled = stalled;
            s.connCarrying = carrying;
            s.connSilentOpen = silentOpen;
            s.downBytes = downDelta;
            s.upBytes = upDelta;
            s.silentHist = hist;
            if (!silences.empty()) {
                std::sort(silences.begin(), silences.end());
                s.silentMsP50 = silences[silences.size() / 2];
                s.silentMsMax = silences.back();
            }
            if (window > 0.5) {
                s.downKbps = truncated(static_cast<double>(downDelta) * 8 / window / 1000);
                s.upKbps = truncated(static_cast<double>(upDelta) * 8 / window / 1000);
            }
        }
    }

    const auto proxies = clashJSON("proxies", stop);
    if (!proxies) return s;
    const auto all = proxies->find("proxies");
    if (all == proxies->end() || !all->is_object()) return s;
    const auto groupIt = all->find("proxy");
    if (groupIt == all->end() || !groupIt->is_object()) return s;
    const json& group = *groupIt;

    if (const auto now = group.find("now"); now != group.end() && now->is_string()) {
        const std::string name = now->get<std::string>();
        s.activeTag = name;
        std::optional<std::string> transport;
        auto endsWith = [&](std::string_view suffix) {
            return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        if (endsWith("-hy2"))
            transport = "hy2";
        else if (endsWith("-ws"))
            transport = "ws";
        if (transport) {
            std::lock_guard lock(mutex_);
            if (lastTransport_ == "hy2" && *transport == "ws") s.fallbackOccurred = true;
            lastTransport_ = transport;
            s.transport = transport;
        }
    }
    if (const auto names = group.find("all"); names != group.end() && names->is_array() &&
                                              std::all_of(names->begin(), names->end(),
                                                          [](const json& x) { return x.is_string(); })) {
        std::vector<json> members;
        for (const auto& n : *names) {
            json entry = {{"tag", n}};
            const auto member = all->find(n.get<std::string>());
            if (member != all->end() && member->is_object()) {
                const auto history = member->find("history");
                if (history != member->end() && history->is_array() && !history->empty() &&
                    std::all_of(history->begin(), history->end(), [](const json& h) { return h.is_object(); })) {
                    const json& last = history->back();
                    if (auto d = last.find("delay"); d != last.end())
                        if (auto v = asInt64(*d); v && d->is_number_integer()) entry["last_delay_ms"] = *v;
                    if (auto t = last.find("time"); t != last.end() && t->is_string()) entry["last_ok_at"] = *t;
                }
            }
            members.push_back(std::move(entry));
        }
        s.members = std::move(members);
    }
    return s;
}

void Telemetry::heartbeatReport(const std::string& token, std::stop_token stop) {
    Report r = envelope(token);
    r["report"] = "heartbeat";
    if (const auto s = sampleConnections(stop)) {
        r["conn_total"] = s->connTotal;
        if (s->transport) r["transport"] = *s->transport;
        if (s->fallbackOccurred) r["fallback_occurred"] = *s->fallbackOccurred;
        if (s->downKbps && *s->downKbps >= 1) r["throughput_down_kbps"] = *s->downKbps;
        if (s->upKbps && *s->upKbps >= 1) r["throughput_up_kbps"] = *s->upKbps;
        if (s->downBytes) r["bytes_down"] = r["bytes_down_delta"] = r["down_delta"] = *s->downBytes;
        if (s->upBytes) r["bytes_up"] = r["bytes_up_delta"] = r["up_delta"] = *s->upBytes;
        if (s->windowMs) r["window_ms"] = *s->windowMs;
        auto put = [&](const char* key, const std::optional<std::int64_t>& v) {
            if (v) r[key] = *v;
        };
        put("conn_new", s->connNew);
        put("conn_active", s->connActive);
        put("conn_stalled", s->connStalled);
        put("conn_carrying", s->connCarrying);
        put("conn_silent_open", s->connSilentOpen);
        put("conn_silent_ms_p50", s->silentMsP50);
        put("conn_silent_ms_max", s->silentMsMax);
        if (s->silentHist) {
            auto bucket = [&](const char* name) {
                const auto it = s->silentHist->find(name);
                return it == s->silentHist->end() ? std::int64_t{0} : it->second;
            };
            r["stalled_hist_lt2k"] = bucket("lt2k");
            r["stalled_hist_2k_8k"] = bucket("2k_8k");
            r["stalled_hist_8k_32k"] = bucket("8k_32k");
            r["stalled_hist_gt32k"] = bucket("gt32k");
        }
        put("ms_since_last_byte_down", s->msSinceLastByteDown);
        put("ms_since_last_byte_up", s->msSinceLastByteUp);
        r["idle"] =
            saturatingAdd(s->downBytes.value_or(0), s->upBytes.value_or(0)) == 0 && s->connNew.value_or(0) == 0;
        if (s->activeTag) r["active_outbound_tag"] = r["active_member"] = *s->activeTag;
        if (s->members && !s->members->empty()) r["group_members"] = *s->members;
    }
    {
        std::lock_guard lock(mutex_);
        r["path_change_count"] = fields_.pathChangesSinceLast;
        fields_.pathChangesSinceLast = 0;
    }
    if (const auto diag = clashJSON("kavri/diag", stop)) {
        for (const auto& [k, v] : diag->items())
            if (!r.contains(k)) r[k] = v;
        const auto pending = diag->find("stall_dumps_pending");
        const std::int64_t dials = saturatingAdd(intOr0(*diag, "dials_total"), intOr0(*diag, "dials_fail_dial"));
        {
            std::lock_guard lock(mutex_);
            fields_.stallDumpsPending =
                pending != diag->end() && pending->is_number_integer() ? asInt64(*pending).value_or(0) : 0;
        }
        r["dials_started"] = dials;
        r["idle"] = dials == 0;
    }
    const Fields f = [&] {
        std::lock_guard lock(mutex_);
        Fields copy = fields_;
        fields_.reconnectsSinceLast = 0;
        return copy;
    }();
    r["reconnects"] = f.reconnectsSinceLast;
    if (f.handshakeMs) r["handshake_ms"] = *f.handshakeMs;
    r["net_stable_sec"] = truncated(secondsBetween(f.pathChangedAt, clock_.wallNow()));
    post(r, stop);
}

std::optional<json> Telemetry::fetchStallDump(std::stop_token stop) const {
    auto dump = clashJSON("kavri/stall_dump", stop);
    if (!dump || dump->contains("empty")) return std::nullopt;
    return dump;
}

void Telemetry::sendStallDump(const std::string& token, const json& dump, const Report& fields,
                              std::stop_token stop) const {
    Report r = envelope(token);
    r["report"] = "event";
    r["event"] = "stall_dump";
    static const std::pair<const char*, const char*> kKeys[] = {
        {"stall_at", "at"},
        {"stall_trigger_first_write_ms", "trigger_first_write_ms"},
        {"stall_trigger_no_write", "trigger_no_write"},
        {"stall_goroutines_total", "goroutines_total"},
        {"stall_groups", "groups"},
        {"stall_stacks_gz_b64", "stacks_gz_b64"},
        {"core_default_iface", "core_default_iface"},
        {"core_default_iface_index", "core_default_iface_index"},
    };
    if (dump.is_object()) {
        for (const auto& [reportKey, dumpKey] : kKeys)
            if (const auto it = dump.find(dumpKey); it != dump.end()) r[reportKey] = *it;
        if (const auto tail = dump.find("log_tail"); tail != dump.end() && tail->is_array() &&
                                                    std::all_of(tail->begin(), tail->end(),
                                                                [](const json& x) { return x.is_string(); })) {
            std::string joined;
            for (std::size_t i = 0; i < tail->size(); ++i) {
                if (i) joined += '\n';
                joined += (*tail)[i].get<std::string>();
            }
            r["stall_log_tail"] = joined;
        }
        if (const auto rt = dump.find("runtime"); rt != dump.end() && rt->is_object())
            for (const auto& [k, v] : rt->items())
                if (!r.contains(k)) r[k] = v;
    }
    if (fields.is_object())
        for (const auto& [k, v] : fields.items())
            if (!r.contains(k)) r[k] = v;
    post(r, stop);
}

}  // namespace kavri

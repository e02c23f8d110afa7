#include "testing/local_account.h"

#include <time.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/runtime/log.h"

namespace kavri {
namespace {

using nlohmann::ordered_json;
using Days = std::chrono::duration<std::int64_t, std::ratio<86400>>;

constexpr std::size_t maxBodyBytes = 64 * 1024;

// "2026-12-11T09:00:00Z".
std::string internetDate(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::int64_t unixSeconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

// The request's JSON object; empty for anything else (or a body too large).
nlohmann::json bodyOf(const TestControlPlane::Request& request) {
    if (request.body.size() > maxBodyBytes) return nlohmann::json::object();
    auto value = nlohmann::json::parse(request.body, nullptr, false);
    return value.is_object() ? value : nlohmann::json::object();
}

std::string textOf(const nlohmann::json& body, const char* key) {
    const auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string deviceOf(const TestControlPlane::Request& request) { return request.header("X-Device-Id").value_or(""); }

TestControlPlane::Reply error(int status, const std::string& code) {
    return TestControlPlane::Reply::json(ordered_json{{"error", code}}.dump(), status);
}

// A name that can only name a file of the folder.
bool plainFileName(const std::string& name) {
    return !name.empty() && name.size() < 200 && name.front() != '.' &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// A token shortened for the log.
std::string shortToken(const std::string& token) { return token.substr(0, 4) + "…"; }

struct PlanInfo {
    const char* key;
    const char* title;
    int months;
    std::int64_t price;
    int days;
    bool pro;
    const char* subtitle;
};
constexpr PlanInfo planTable[] = {
    {"month", "1 месяц", 1, LocalAccount::monthPrice, 30, false, nullptr},
    {"quarter", "3 месяца", 3, 799, 90, false, "Экономия 10%"},
    {"year", "12 месяцев", 12, 2490, 365, true, "Выгоднее всего"},
};

const PlanInfo* planNamed(const std::string& key) {
    for (const auto& plan : planTable)
        if (key == plan.key) return &plan;
    return nullptr;
}

const ordered_json protocolTable = ordered_json::array({
    {{"key", "reality"}, {"title", "Reality"}, {"subtitle", "Лучше всего маскируется"}},
    {{"key", "hysteria2"}, {"title", "Hysteria 2"}, {"subtitle", "Быстрый на плохих сетях"}, {"badge", "UDP"}},
    {{"key", "anytls"}, {"title", "AnyTLS"}},
    {{"key", "ss2022"}, {"title", "Shadowsocks 2022"}},
});

std::string protocolTitle(const std::string& key) {
    for (const auto& proto : protocolTable)
        if (proto["key"] == key) return proto["title"].get<std::string>();
    return key;
}

bool isPaid(const std::string& state) {
    return state == "paid_autopay" || state == "paid_cancelled" || state == "granted";
}

}  // namespace

const std::vector<std::string>& LocalAccount::adminStates() {
    static const std::vector<std::string> states{"trial",          "paid",    "paid_cancelled", "expired",
                                                 "charge_failed",  "device_removed", "blocked", "rotate_token"};
    return states;
}

LocalAccount::LocalAccount(TestControlPlane& plane, Options options) : options_(std::move(options)) {
    for (const auto& outbound : options_.subscription.value("outbounds", ordered_json::array()))
        if (outbound.is_object() && outbound.value("tag", "") == "proxy" && outbound.contains("outbounds"))
            for (const auto& member : outbound["outbounds"])
                if (member.is_string()) members_.push_back(member.get<std::string>());
    const auto member = [&](std::size_t i) -> std::optional<std::size_t> {
        if (members_.empty()) return std::nullopt;
        return i % members_.size();
    };
    locations_ = {
        {"nl-ams", "Нидерланды", "NL", {"reality", "hysteria2", "ss2022"}, member(0), false, 38},
        {"de-fra", "Германия", "DE", {"reality", "anytls"}, member(1), false, 45},
        {"fi-hel", "Финляндия", "FI", {"reality", "hysteria2"}, member(2), false, 52},
        {"us-nyc", "США", "US", {"reality"}, member(1), true, 118},
        {"jp-tyo", "Япония", "JP", {"reality"}, std::nullopt, false, 0},
    };

    const auto on = [&](const char* method, const char* path, Reply (LocalAccount::*handler)(const Request&)) {
        plane.route(method, path, [this, handler](const Request& r) { return (this->*handler)(r); });
    };
    on("POST", "/provision", &LocalAccount::provision);
    on("GET", "/status/(.+)", &LocalAccount::status);
    on("GET", "/sub/(.+)", &LocalAccount::subscription);
    on("GET", "/stack/([^/]+)", &LocalAccount::catalog);
    on("POST", "/stack/([^/]+)/select", &LocalAccount::select);
    on("POST", "/devices/list", &LocalAccount::devices);
    on("POST", "/devices/remove", &LocalAccount::removeDevice);
    on("POST", "/devices/detach", &LocalAccount::detach);
    on("POST", "/link/invite", &LocalAccount::invite);
    on("POST", "/link/join", &LocalAccount::join);
    on("POST", "/pay/create", &LocalAccount::createPayment);
    on("POST", "/telemetry", &LocalAccount::telemetry);
    on("GET", "/dl/(.+)", &LocalAccount::download);
    on("GET", "/admin/account", &LocalAccount::admin);
    on("POST", "/admin/account", &LocalAccount::admin);
}

void LocalAccount::setPaymentPages(std::string baseURL) {
    std::lock_guard lock(mutex_);
    paymentPages_ = std::move(baseURL);
}

std::int64_t LocalAccount::adopt(const std::string& token) {
    std::lock_guard lock(mutex_);
    if (auto* known = byToken(token)) return known->number;
    return create(token).number;
}

// --- the model ---

LocalAccount::Account* LocalAccount::byToken(const std::string& token) {
    const auto it = tokens_.find(token);
    if (it == tokens_.end()) return nullptr;
    Account& account = accounts_.at(it->second);
    // The rotated token in use: the old one is done with.
    if (account.rotatedToken == token) {
        tokens_.erase(account.token);
        account.token = token;
        account.rotatedToken.reset();
        Log::line("[Kavri] account " + std::to_string(account.number) + " now uses its rotated token");
    }
    return &account;
}

LocalAccount::Account& LocalAccount::create(const std::string& token) {
    Account account;
    account.number = nextNumber_++;
    account.token = token;
    account.expiresAt = options_.now() + trialLength;
    tokens_[token] = account.number;
    Log::line("[Kavri] account " + std::to_string(account.number) + " created (trial)");
    return accounts_[account.number] = std::move(account);
}

void LocalAccount::changeState(Account& account, const std::string& state, Date expiresAt, const std::string& why) {
    const std::string before = account.state;
    account.state = state;
    account.expiresAt = expiresAt;
    ++account.epoch;
    Log::line("[Kavri] account " + std::to_string(account.number) + ": " + before + " → " + state + " until " +
              internetDate(expiresAt) + " (" + why + ")");
}

void LocalAccount::detachEverywhere(const std::string& device) {
    for (auto& [number, account] : accounts_) {
        auto& list = account.devices;
        const auto gone = std::remove_if(list.begin(), list.end(), [&](const Device& d) { return d.id == device; });
        if (gone == list.end()) continue;
        list.erase(gone, list.end());
        Log::line("[Kavri] account " + std::to_string(number) + ": device " + shortToken(device) + " left");
    }
}

void LocalAccount::seen(Account& account, const std::string& device) {
    for (auto& d : account.devices)
        if (d.id == device) d.lastSeen = options_.now();
}

std::string LocalAccount::newToken() {
    static constexpr char hex[] = "0123456789abcdef";
    std::string token;
    do {
        token.clear();
        for (int i = 0; i < 32; ++i) token += hex[random_() % 16];
    } while (tokens_.count(token));
    return token;
}

std::string LocalAccount::newCode() {
    const std::string alphabet = codeAlphabet;
    std::string code;
    do {
        code.clear();
        for (std::size_t i = 0; i < codeLength; ++i) code += alphabet[random_() % alphabet.size()];
    } while (invites_.count(code));
    return code;
}

const LocalAccount::Location* LocalAccount::location(const std::string& id) const {
    for (const auto& l : locations_)
        if (l.id == id) return &l;
    return nullptr;
}

ordered_json LocalAccount::plans() const {
    ordered_json out = ordered_json::array();
    for (const auto& plan : planTable) {
        ordered_json p{{"key", plan.key}, {"title", plan.title}, {"months", plan.months}, {"price", plan.price},
                       {"days", plan.days}};
        if (plan.pro) p["pro"] = true;
        if (plan.subtitle) p["subtitle"] = plan.subtitle;
        out.push_back(std::move(p));
    }
    return out;
}

ordered_json LocalAccount::stackSnapshot(const Account& account) const {
    const Location* chosen = account.location ? location(*account.location) : nullptr;
    const Location* inEffect = chosen && chosen->member ? chosen : &locations_.front();
    const std::string protocol = account.protocol.value_or("reality");
    ordered_json locationAxis{{"mode", "auto"}, {"label", "Авто"}, {"online", true}};
    if (chosen)
        locationAxis = {{"id", chosen->id},
                        {"mode", "manual"},
                        {"label", chosen->title},
                        {"country_code", chosen->countryCode},
                        {"online", chosen->member.has_value()}};
    ordered_json protocolAxis{{"mode", "auto"}, {"label", "Авто"}};
    if (account.protocol) protocolAxis = {{"key", protocol}, {"mode", "manual"}, {"label", protocolTitle(protocol)}};
    return {{"manual_allowed", true},
            {"locked_reason", nullptr},
            {"location", std::move(locationAxis)},
            {"protocol", std::move(protocolAxis)},
            {"effective",
             {{"location_label", inEffect->title},
              {"country_code", inEffect->countryCode},
              {"protocol_label", protocolTitle(protocol)}}}};
}

ordered_json LocalAccount::catalogBody() const {
    ordered_json locations = ordered_json::array();
    for (const auto& l : locations_) {
        ordered_json entry{{"id", l.id},
                           {"title", l.title},
                           {"country_code", l.countryCode},
                           {"online", l.member.has_value()},
                           {"protocols", l.protocols}};
        if (l.member) {
            for (const auto& outbound : options_.subscription.value("outbounds", ordered_json::array()))
                if (outbound.value("tag", "") == members_[*l.member] && outbound.contains("server_port")) {
                    entry["probe_host"] = outbound.value("server", "127.0.0.1");
                    entry["probe_port"] = outbound["server_port"];
                }
            entry["rtt_ms"] = l.rttMs;
            entry["rtt_age_sec"] = 30;
        }
        locations.push_back(std::move(entry));
    }
    return {{"manual_allowed", true},
            {"locked_reason", nullptr},
            {"auto", {{"title", "Автоматически"}, {"subtitle", "Самая быстрая локация"}}},
            {"locations", std::move(locations)},
            {"protocols", protocolTable}};
}

ordered_json LocalAccount::statusBody(const Account& account, const std::string& device) const {
    const auto now = options_.now();
    const auto left = account.expiresAt > now ? std::chrono::ceil<Days>(account.expiresAt - now).count() : 0;
    const bool member = !device.empty() && device != account.owner &&
                        std::any_of(account.devices.begin(), account.devices.end(),
                                    [&](const Device& d) { return d.id == device; });
    const std::string number = std::to_string(account.number);
    ordered_json body{{"app_id", account.number},
                      {"role", member ? "member" : "owner"},
                      {"devices", {{"used", account.devices.size()}, {"limit", deviceLimit}}}};
    if (account.rotatedToken) body["rotate_token"] = *account.rotatedToken;
    body.update(ordered_json{{"state", account.state},
                             {"price_month", monthPrice},
                             {"currency", "RUB"},
                             {"expires_at", internetDate(account.expiresAt)},
                             {"days_left", left},
                             {"autopay_enabled", account.state == "paid_autopay"}});
    if (account.state == "paid_autopay" || account.state == "charge_failed")
        body["next_charge_at"] = internetDate(account.expiresAt);
    body.update(ordered_json{{"auto_charge_failed", account.state == "charge_failed"},
                             {"telegram_linked", false},
                             {"referral",
                              {{"registered", 0},
                               {"paid", 0},
                               {"goal", 3},
                               {"bonus_years", 0},
                               {"link", "https://t.me/kavri_bot?start=ref" + number},
                               {"web_link", "https://kavri.app/r/" + number}}},
                             {"plans", plans()},
                             {"stack", stackSnapshot(account)},
                             {"recurring", true}});
    return body;
}

ordered_json LocalAccount::subscriptionBody(const Account& account, const std::string& device) const {
    ordered_json body = options_.subscription;
    const Location* chosen = account.location ? location(*account.location) : nullptr;
    if (chosen && chosen->member) {
        for (auto& outbound : body["outbounds"])
            if (outbound.value("tag", "") == "proxy") {
                outbound["outbounds"] = ordered_json::array({members_[*chosen->member]});
                outbound["default"] = members_[*chosen->member];
            }
    }
    auto& meta = body["_kavri_meta"];
    meta["version"] = account.epoch;
    meta["config_epoch"] = account.epoch;
    meta["state"] = account.state;
    meta["price_month"] = monthPrice;
    meta["currency"] = "RUB";
    meta["expires_at_unix"] = unixSeconds(account.expiresAt);
    meta["device_removed"] = account.removedMark || account.removed.count(device) > 0;
    return body;
}

// --- routes ---

LocalAccount::Reply LocalAccount::provision(const Request& request) {
    const auto body = bodyOf(request);
    const std::string device = textOf(body, "device_id");
    std::lock_guard lock(mutex_);
    if (!device.empty()) detachEverywhere(device);
    Account& account = create(newToken());
    if (!device.empty()) {
        const auto now = options_.now();
        account.owner = device;
        account.devices.push_back(
            {device, "Компьютер " + device.substr(0, 4), textOf(body, "platform"), "", now, now});
    }
    return Reply::json(ordered_json{{"id", account.number},
                                    {"sub_token", account.token},
                                    {"is_trial", true},
                                    {"plan", "trial"},
                                    {"is_active", true},
                                    {"expires_at", unixSeconds(account.expiresAt)}}
                           .dump());
}

LocalAccount::Reply LocalAccount::status(const Request& request) {
    std::lock_guard lock(mutex_);
    Account* account = byToken(request.matches.at(1));
    if (!account) return error(401, "unauthorized");
    if (account->blocked) return error(403, "blocked");
    seen(*account, deviceOf(request));
    return Reply::json(statusBody(*account, deviceOf(request)).dump());
}

LocalAccount::Reply LocalAccount::subscription(const Request& request) {
    std::lock_guard lock(mutex_);
    Account* account = byToken(request.matches.at(1));
    if (!account) return error(401, "unauthorized");
    if (account->blocked) return error(403, "blocked");
    if (account->state == "expired") return error(402, "expired");
    seen(*account, deviceOf(request));
    return Reply::subscription(subscriptionBody(*account, deviceOf(request)).dump());
}

LocalAccount::Reply LocalAccount::catalog(const Request& request) {
    std::lock_guard lock(mutex_);
    Account* account = byToken(request.matches.at(1));
    if (!account) return error(401, "unauthorized");
    if (account->blocked) return error(403, "blocked");
    return Reply::json(catalogBody().dump());
}

LocalAccount::Reply LocalAccount::select(const Request& request) {
    const auto body = bodyOf(request);
    std::lock_guard lock(mutex_);
    Account* account = byToken(request.matches.at(1));
    if (!account) return error(401, "unauthorized");
    if (account->state == "expired") return error(402, "expired");
    if (account->blocked) return error(403, "blocked");
    std::optional<std::string> wanted, protocol;
    if (body.contains("location") && body["location"].is_string()) wanted = body["location"].get<std::string>();
    if (body.contains("protocol") && body["protocol"].is_string()) protocol = body["protocol"].get<std::string>();
    if (wanted) {
        const Location* chosen = location(*wanted);
        if (!chosen || !chosen->member) return error(409, "location_unavailable");
        if (chosen->lockedOnTrial && account->state == "trial") return error(403, "locked");
        if (protocol && std::find(chosen->protocols.begin(), chosen->protocols.end(), *protocol) ==
                            chosen->protocols.end())
            return error(409, "protocol_unavailable");
    }
    account->location = wanted;
    account->protocol = protocol;
    ++account->epoch;
    Log::line("[Kavri] account " + std::to_string(account->number) + ": location " + wanted.value_or("auto") +
              ", protocol " + protocol.value_or("auto") +
              (wanted ? " (member " + members_[*location(*wanted)->member] + ")" : ""));
    return Reply::json(ordered_json{{"error", nullptr}, {"stack", stackSnapshot(*account)}}.dump());
}

LocalAccount::Reply LocalAccount::devices(const Request& request) {
    const auto body = bodyOf(request);
    std::lock_guard lock(mutex_);
    Account* account = byToken(textOf(body, "token"));
    if (!account) return error(401, "unauthorized");
    const std::string asking = deviceOf(request);
    ordered_json list = ordered_json::array();
    for (const auto& d : account->devices)
        list.push_back({{"device_id", d.id},
                        {"name", d.name},
                        {"platform", d.platform},
                        {"last_seen", internetDate(d.lastSeen)},
                        {"blocked", false},
                        {"current", d.id == asking},
                        {"added_by", d.addedBy},
                        {"added_at", internetDate(d.addedAt)}});
    return Reply::json(ordered_json{{"devices", std::move(list)}, {"limit", deviceLimit}}.dump());
}

LocalAccount::Reply LocalAccount::removeDevice(const Request& request) {
    const auto body = bodyOf(request);
    const std::string device = textOf(body, "device_id");
    std::lock_guard lock(mutex_);
    Account* account = byToken(textOf(body, "token"));
    if (!account) return error(401, "unauthorized");
    auto& list = account->devices;
    const auto it = std::find_if(list.begin(), list.end(), [&](const Device& d) { return d.id == device; });
    if (it == list.end()) return error(404, "not_found");
    list.erase(it);
    account->removed.insert(device);
    Log::line("[Kavri] account " + std::to_string(account->number) + ": device " + shortToken(device) + " removed");
    return Reply::json(R"({"ok":true})");
}

LocalAccount::Reply LocalAccount::invite(const Request& request) {
    const auto body = bodyOf(request);
    std::lock_guard lock(mutex_);
    Account* account = byToken(textOf(body, "token"));
    if (!account) return error(404, "not_found");
    const std::string asking = deviceOf(request);
    if (!asking.empty() && !account->owner.empty() && asking != account->owner) return error(403, "not_owner");
    if (!isPaid(account->state)) return error(403, "subscription_inactive");
    const std::string code = newCode();
    const auto expires = options_.now() + codeLifetime;
    invites_[code] = {account->number, expires};
    Log::line("[Kavri] account " + std::to_string(account->number) + ": invite code issued");
    return Reply::json(ordered_json{{"code", code}, {"expires_at", unixSeconds(expires)}}.dump());
}

LocalAccount::Reply LocalAccount::join(const Request& request) {
    const auto body = bodyOf(request);
    const std::string code = textOf(body, "code"), device = textOf(body, "device_id");
    std::lock_guard lock(mutex_);
    const auto it = invites_.find(code);
    if (it == invites_.end() || it->second.expiresAt <= options_.now() || device.empty())
        return error(404, "not_found");
    Account& target = accounts_.at(it->second.account);
    if (target.devices.size() >= static_cast<std::size_t>(deviceLimit))
        return Reply::json(ordered_json{{"error", "device_limit"}, {"limit", deviceLimit}, {"used", target.devices.size()}}
                               .dump(),
                           409);
    for (const auto& [number, other] : accounts_)
        if (number != target.number && other.owner == device && isPaid(other.state))
            return Reply::json(ordered_json{{"error", "would_lose_paid"},
                                            {"app_id", other.number},
                                            {"plan", "month"},
                                            {"expires_at", internetDate(other.expiresAt)}}
                                   .dump(),
                               409);
    invites_.erase(it);
    detachEverywhere(device);
    const auto now = options_.now();
    std::string name = textOf(body, "name");
    target.devices.push_back({device, name.empty() ? "Устройство" : name, textOf(body, "platform"),
                              "Код приглашения", now, now});
    target.removed.erase(device);
    Log::line("[Kavri] account " + std::to_string(target.number) + ": device " + shortToken(device) +
              " joined by code");
    return Reply::json(ordered_json{{"sub_token", target.token}, {"app_id", target.number}}.dump());
}

LocalAccount::Reply LocalAccount::detach(const Request& request) {
    const auto body = bodyOf(request);
    const std::string device = deviceOf(request);
    std::lock_guard lock(mutex_);
    Account* account = byToken(textOf(body, "token"));
    if (!account) return error(404, "not_found");
    auto& list = account->devices;
    const auto it = std::find_if(list.begin(), list.end(), [&](const Device& d) { return d.id == device; });
    if (it == list.end()) return error(404, "not_found");
    list.erase(it);
    Log::line("[Kavri] account " + std::to_string(account->number) + ": device " + shortToken(device) + " detached");
    return Reply::json(R"({"ok":true})");
}

LocalAccount::Reply LocalAccount::createPayment(const Request& request) {
    const auto body = bodyOf(request);
    std::lock_guard lock(mutex_);
    Account* account = byToken(textOf(body, "sub_token"));
    if (!account) return error(401, "unauthorized");
    std::string plan = "month";
    if (body.contains("plan")) {
        plan = textOf(body, "plan");
        if (!planNamed(plan)) return error(400, "unknown_plan");
    }
    const bool recurring = body.contains("save_payment_method") && body["save_payment_method"] == true;
    const std::string id = "p" + std::to_string(nextPayment_++);
    payments_[id] = {account->number, plan, recurring, false};
    Log::line("[Kavri] account " + std::to_string(account->number) + ": payment " + id + " created for " + plan);
    return Reply::json(ordered_json{{"payment_url", paymentPages_ + "/pay/" + id}, {"payment_id", id}}.dump());
}

std::optional<LocalAccount::Payment> LocalAccount::payment(const std::string& id) const {
    std::lock_guard lock(mutex_);
    const auto it = payments_.find(id);
    if (it == payments_.end()) return std::nullopt;
    const PlanInfo* plan = planNamed(it->second.plan);
    return Payment{id, plan->title, plan->price, it->second.paid};
}

bool LocalAccount::completePayment(const std::string& id) {
    std::lock_guard lock(mutex_);
    const auto it = payments_.find(id);
    if (it == payments_.end()) return false;
    if (it->second.paid) return true;
    it->second.paid = true;
    Account& account = accounts_.at(it->second.account);
    const auto from = std::max(options_.now(), account.expiresAt);
    changeState(account, it->second.recurring ? "paid_autopay" : "paid_cancelled",
                from + Days(planNamed(it->second.plan)->days), "payment " + id);
    return true;
}

LocalAccount::Reply LocalAccount::telemetry(const Request& request) {
    const auto body = bodyOf(request);
    Log::line("[Kavri] telemetry: " + (body.contains("event") && body["event"].is_string()
                                            ? body["event"].get<std::string>()
                                            : std::string("(no event)")));
    return Reply::json(R"({"ok":true})");
}

LocalAccount::Reply LocalAccount::download(const Request& request) {
    const std::string name = request.matches.at(1);
    if (options_.downloads.empty() || !plainFileName(name)) return error(404, "not_found");
    std::ifstream file(options_.downloads / name, std::ios::binary);
    if (!file) return error(404, "not_found");
    std::stringstream bytes;
    bytes << file.rdbuf();
    Reply reply = Reply::withStatus(200, bytes.str());
    reply.contentType = name.ends_with(".json") ? "application/json" : "application/octet-stream";
    return reply;
}

bool LocalAccount::setState(const std::string& state, const std::string& token) {
    const auto& known = adminStates();
    if (std::find(known.begin(), known.end(), state) == known.end()) return false;
    std::lock_guard lock(mutex_);
    std::vector<Account*> chosen;
    if (token.empty()) {
        for (auto& [number, account] : accounts_) chosen.push_back(&account);
    } else if (Account* account = byToken(token)) {
        chosen.push_back(account);
    } else {
        return false;
    }
    const auto now = options_.now();
    for (Account* account : chosen) {
        account->blocked = state == "blocked";
        account->removedMark = state == "device_removed";
        if (state == "trial") changeState(*account, "trial", now + trialLength, "set by hand");
        if (state == "paid") changeState(*account, "paid_autopay", now + Days(30), "set by hand");
        if (state == "paid_cancelled") changeState(*account, "paid_cancelled", now + Days(30), "set by hand");
        if (state == "expired") changeState(*account, "expired", now - Days(1), "set by hand");
        if (state == "charge_failed") changeState(*account, "charge_failed", now + Days(2), "set by hand");
        if (state == "device_removed" || state == "blocked") {
            ++account->epoch;
            Log::line("[Kavri] account " + std::to_string(account->number) + ": " + state + " (set by hand)");
        }
        if (state == "rotate_token") {
            const std::string next = newToken();
            account->rotatedToken = next;
            tokens_[next] = account->number;
            Log::line("[Kavri] account " + std::to_string(account->number) + ": token rotated to " + shortToken(next));
        }
    }
    return true;
}

ordered_json LocalAccount::summary() const {
    std::lock_guard lock(mutex_);
    ordered_json out = ordered_json::array();
    for (const auto& [number, account] : accounts_) {
        ordered_json devices = ordered_json::array();
        for (const auto& d : account.devices) devices.push_back(d.id);
        out.push_back({{"app_id", number},
                       {"token", account.token},
                       {"state", account.state},
                       {"expires_at", internetDate(account.expiresAt)},
                       {"blocked", account.blocked},
                       {"device_removed", account.removedMark},
                       {"location", account.location.value_or("auto")},
                       {"devices", std::move(devices)}});
    }
    return {{"accounts", std::move(out)}, {"states", adminStates()}};
}

LocalAccount::Reply LocalAccount::admin(const Request& request) {
    if (request.method == "POST") {
        const auto body = bodyOf(request);
        if (!setState(textOf(body, "set"), textOf(body, "token"))) return error(400, "unknown_state_or_token");
    }
    return Reply::json(summary().dump(2));
}

}  // namespace kavri

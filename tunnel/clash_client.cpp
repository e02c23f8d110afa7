#include "tunnel/clash_client.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>

#include "core/utf8.h"
#include "platform/runtime/log.h"
#include "tunnel/telemetry.h"

namespace kavri {
namespace {

using nlohmann::json;

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// A URL as it goes out: letters of other scripts that a path keeps are sent
// percent-encoded as UTF-8, as the platform's URL parser sends them. Text
// that is not UTF-8 stays as it is (and is no valid URL).
std::string wireForm(const std::string& url) {
    if (!Utf8::isValid(url)) return url;
    std::string out;
    out.reserve(url.size());
    for (const char c : url)
        out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : percentEncodeAlnum(std::string_view(&c, 1));
    return out;
}

// The text form of a JSON value in a log line: texts bare, others as JSON.
std::string logText(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

}  // namespace

ClashClient::ClashClient(ClashClientSettings settings, Clock& clock)
    : settings_(std::move(settings)), clock_(clock), session_([&] {
          HttpSessionConfig c;
          c.requestTimeout = settings_.requestTimeout;
          c.resourceTimeout = settings_.resourceTimeout;
          return c;
      }()) {}

void ClashClient::setSecret(std::string secret) {
    std::lock_guard lock(mutex_);
    secret_ = std::move(secret);
}

std::string ClashClient::secret() const {
    std::lock_guard lock(mutex_);
    return secret_;
}

void ClashClient::setProbeTag(std::string tag) {
    std::lock_guard lock(mutex_);
    probeTag_ = std::move(tag);
}

std::string ClashClient::probeTag() const {
    std::lock_guard lock(mutex_);
    return probeTag_;
}

void ClashClient::setHbPort(std::int64_t port) {
    std::lock_guard lock(mutex_);
    hbPort_ = port;
}

std::int64_t ClashClient::hbPort() const {
    std::lock_guard lock(mutex_);
    return hbPort_;
}

void ClashClient::setHbInboundPresent(bool present) {
    std::lock_guard lock(mutex_);
    hbInboundPresent_ = present;
}

bool ClashClient::hbInboundPresent() const {
    std::lock_guard lock(mutex_);
    return hbInboundPresent_;
}

const json* ClashClient::connectionList(const json& table) {
    if (!table.is_object()) return nullptr;
    const auto it = table.find("connections");
    if (it == table.end() || !it->is_array()) return nullptr;
    for (const auto& c : *it)
        if (!c.is_object()) return nullptr;
    return &*it;
}

std::optional<std::int64_t> ClashClient::wholeNumber(const json& v) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::string ClashClient::encode(const std::string& text) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (!unicode || !Utf8::isValid(text)) return percentEncodeAlnum(text);
    static const wctype_t marks = wctype_l("combining", unicode);
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size();) {
        // One character: its code point from its UTF-8 bytes.
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        wint_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        const std::string_view bytes(text.data() + i, length);
        const bool kept = iswalnum_l(code, unicode) || (marks && iswctype_l(code, marks, unicode));
        out += kept ? std::string(bytes) : percentEncodeAlnum(bytes);
        i += length;
    }
    return out;
}

bool ClashClient::isValidURL(const std::string& text) {
    std::string_view rest(text);
    if (rest.rfind("http://", 0) == 0)
        rest.remove_prefix(7);
    else if (rest.rfind("https://", 0) == 0)
        rest.remove_prefix(8);
    else
        return false;
    const auto hostEnd = rest.find_first_of("/?#");
    if (rest.substr(0, hostEnd).empty()) return false;
    static const std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=%";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || !(std::isalnum(u) || allowed.find(c) != std::string_view::npos)) return false;
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) return false;
    }
    return true;
}

HttpRequest ClashClient::request(const std::string& method, const std::string& path) const {
    HttpRequest r;
    r.method = method;
    r.url = wireForm(settings_.controllerBase + path);
    r.timeout = settings_.requestTimeout;
    const std::string s = secret();
    if (!s.empty()) r.setHeader("Authorization", "Bearer " + s);
    return r;
}

std::optional<HttpResponse> ClashClient::send(const HttpRequest& request, std::stop_token stop) const {
    if (!isValidURL(request.url)) return std::nullopt;
    try {
        return session_.send(request, stop);
    } catch (const HttpError&) {
        return std::nullopt;
    }
}

std::optional<json> ClashClient::clashGET(const std::string& path, std::stop_token stop) const {
    const auto reply = send(request("GET", path), stop);
    if (!reply) return std::nullopt;
    if (reply->status == 401) {
        Log::line("[Kavri][clash] 401 на " + path + " — секрет clash_api не совпал");
        return std::nullopt;
    }
    json body = json::parse(reply->body, nullptr, false);
    if (!body.is_object()) return std::nullopt;
    return body;
}

std::optional<ClashClient::Group> ClashClient::groupState(std::stop_token stop) const {
    const auto reply = clashGET("proxies", stop);
    if (!reply) return std::nullopt;
    const auto proxies = reply->find("proxies");
    if (proxies == reply->end() || !proxies->is_object()) return std::nullopt;
    const auto group = proxies->find(probeTag());
    if (group == proxies->end() || !group->is_object()) return std::nullopt;
    const auto all = group->find("all");
    if (all == group->end() || !all->is_array() ||
        !std::all_of(all->begin(), all->end(), [](const json& x) { return x.is_string(); }))
        return std::nullopt;
    Group state;
    state.members = all->get<std::vector<std::string>>();
    if (state.members.size() < 2) return std::nullopt;
    if (const auto now = group->find("now"); now != group->end() && now->is_string()) state.now = now->get<std::string>();
    if (const auto type = group->find("type"); type != group->end() && type->is_string()) state.type = type->get<std::string>();
    return state;
}

std::optional<int> ClashClient::putSelection(const std::string& member, std::stop_token stop) const {
    HttpRequest r = request("PUT", "proxies/" + encode(probeTag()));
    r.setHeader("Content-Type", "application/json");
    r.body = json{{"name", member}}.dump();
    const auto reply = send(r, stop);
    if (!reply) return std::nullopt;
    return reply->status;
}

bool ClashClient::clashSelect(const std::string& member, std::stop_token stop) const {
    const auto status = putSelection(member, stop);
    if (!status) return false;
    if (*status == 401) {
        Log::line("[Kavri][clash] 401 на select — секрет clash_api не совпал");
        return false;
    }
    if (*status < 200 || *status > 299) return false;
    Log::line("[Kavri][hb] select → " + member);
    return true;
}

void ClashClient::closeAllConnections(std::stop_token stop) const { send(request("DELETE", "connections"), stop); }

void ClashClient::pushEngineTunables(const std::optional<json>& detectObject, std::stop_token stop) const {
    if (!detectObject || !detectObject->is_object()) return;
    HttpRequest r = request("POST", "kavri/config");
    r.setHeader("Content-Type", "application/json");
    r.body = detectObject->dump();
    const auto reply = send(r, stop);
    if (reply && reply->status == 401) Log::line("[Kavri][diag] 401 на kavri/config — секрет clash_api не совпал");
}

bool ClashClient::memberDelayProbe(const std::string& hbURL, std::int64_t hbTimeoutMs, std::stop_token stop) const {
    const std::string path = "proxies/" + encode(probeTag()) + "/delay?timeout=" + std::to_string(hbTimeoutMs) +
                             "&url=" + encode(hbURL);
    if (const auto reply = clashGET(path, stop)) {
        const auto delay = reply->find("delay");
        if (delay != reply->end() && delay->is_number_integer() && delay->get<std::int64_t>() >= 1) return true;
    }
    return heartbeatOnce(hbURL, hbTimeoutMs, stop).status == 204;
}

ClashClient::HeartbeatResult ClashClient::heartbeatOnce(const std::string& url, std::int64_t timeoutMs,
                                                        std::stop_token stop) const {
    std::int64_t port;
    {
        std::lock_guard lock(mutex_);
        if (!hbInboundPresent_) return {};
        port = hbPort_;
    }
    if (!isValidURL(url) || port < 1 || port > 65535 || timeoutMs < 1) return {};
    // Both plain and "https" URLs go through the inbound (the latter with
    // CONNECT), so every beat says something about the selected member.
    HttpSessionConfig config;
    config.requestTimeout = std::chrono::milliseconds(timeoutMs);
    config.resourceTimeout = std::chrono::milliseconds(timeoutMs);
    config.proxy = "http://127.0.0.1:" + std::to_string(port);
    HttpRequest r;
    r.url = url;
    const auto start = clock_.monoNow();
    try {
        const HttpResponse reply = HttpSession(config).send(r, stop);
        const auto rtt = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.monoNow() - start);
        return {reply.status, rtt.count()};
    } catch (const HttpError&) {
        return {};
    }
}

json ClashClient::pathFields(const std::optional<NetworkPath>& path) {
    if (!path) return json::object();
    std::string ifaces;
    for (const auto& i : path->availableInterfaces) {
        if (!ifaces.empty()) ifaces += ",";
        ifaces += i.name + ":" + std::to_string(i.index) + ":" + NetworkPath::typeWord(i.type);
    }
    return {{"path_status", NetworkPath::statusName(path->status)},
            {"path_ifaces", ifaces},
            {"path_expensive", path->isExpensive},
            {"path_constrained", path->isConstrained}};
}

void ClashClient::uploadStallDump(const std::string& token, Telemetry& telemetry, const PathMonitor* pathMonitor,
                                  std::stop_token stop) {
    for (int i = 0; i < 2; ++i) {
        const auto dump = telemetry.fetchStallDump(stop);
        if (!dump) return;
        // Before the monitor's first report the path is the one it starts
        // from: unsatisfied, with nothing available.
        const auto fields =
            pathMonitor ? pathFields(pathMonitor->currentPath().value_or(NetworkPath{})) : json::object();
        telemetry.sendStallDump(token, *dump, fields, stop);
        const auto groups = dump->find("groups");
        Log::line("[Kavri][diag] stall_dump отправлен (групп " + (groups == dump->end() ? "?" : logText(*groups)) +
                  ")");
    }
}

}  // namespace kavri

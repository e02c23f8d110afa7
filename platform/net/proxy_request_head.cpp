#include "platform/net/proxy_request_head.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kavri {
namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

// Authority and path of an "http://" or "https://" target.
bool splitAbsolute(std::string_view target, std::string_view& authority, std::string_view& path,
                   std::uint16_t& defaultPort) {
    std::string_view rest;
    if (startsWithIgnoreCase(target, "http://")) {
        rest = target.substr(7);
        defaultPort = 80;
    } else if (startsWithIgnoreCase(target, "https://")) {
        rest = target.substr(8);
        defaultPort = 443;
    } else {
        return false;
    }
    const auto slash = rest.find_first_of("/?#");
    authority = rest.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    return true;
}

}  // namespace

std::optional<ProxyRequestHead> ProxyRequestHead::read(TcpSocket& socket, std::string initial) {
    std::string data = std::move(initial);
    std::array<char, 4096> chunk{};
    for (;;) {
        const auto end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            auto head = parse(std::string_view(data).substr(0, end + 2));
            if (head) head->body = data.substr(end + 4);
            return head;
        }
        if (data.size() > maxSize) return std::nullopt;
        const std::size_t n = socket.readSome(chunk.data(), chunk.size());
        if (n == 0) return std::nullopt;
        data.append(chunk.data(), n);
    }
}

std::optional<ProxyRequestHead> ProxyRequestHead::parse(std::string_view head) {
    ProxyRequestHead h;
    auto lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos) return std::nullopt;
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return std::nullopt;
    h.method = std::string(requestLine.substr(0, sp1));
    h.target = std::string(requestLine.substr(sp1 + 1, sp2 - sp1 - 1));
    h.version = std::string(requestLine.substr(sp2 + 1));
    if (h.method.empty() || h.target.empty() || h.version.rfind("HTTP/", 0) != 0) return std::nullopt;
    if (h.target.find(' ') != std::string::npos) return std::nullopt;
    std::string_view rest = head.substr(lineEnd + 2);
    while (!rest.empty()) {
        lineEnd = rest.find("\r\n");
        const std::string_view line = rest.substr(0, lineEnd);
        rest = lineEnd == std::string_view::npos ? std::string_view() : rest.substr(lineEnd + 2);
        if (line.empty()) continue;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        h.headers.emplace_back(std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1))));
    }
    return h;
}

bool ProxyRequestHead::isConnect() const { return equalsIgnoreCase(method, "CONNECT"); }

std::optional<Endpoint> ProxyRequestHead::destination() const {
    if (isConnect()) return Endpoint::parse(target);
    std::string_view authority, path;
    std::uint16_t defaultPort = 0;
    if (!splitAbsolute(target, authority, path, defaultPort)) return std::nullopt;
    if (authority.find('@') != std::string_view::npos) return std::nullopt;
    return Endpoint::parse(authority, defaultPort);
}

std::string ProxyRequestHead::originTarget() const {
    std::string_view authority, path;
    std::uint16_t defaultPort = 0;
    if (!splitAbsolute(target, authority, path, defaultPort)) return target;
    if (path.empty()) return "/";
    std::string out;
    if (path.front() != '/') out.push_back('/');
    out.append(path);
    return out;
}

std::string ProxyRequestHead::forward(bool keepAbsoluteForm) const {
    std::string out = method + " " + (keepAbsoluteForm ? target : originTarget()) + " " + version + "\r\n";
    for (const auto& [name, value] : headers) {
        if (equalsIgnoreCase(name, "Proxy-Connection") || equalsIgnoreCase(name, "Proxy-Authorization") ||
            equalsIgnoreCase(name, "Connection") || equalsIgnoreCase(name, "Keep-Alive"))
            continue;
        out += name + ": " + value + "\r\n";
    }
    out += "Connection: close\r\n\r\n";
    out += body;
    return out;
}

}  // namespace kavri

#include "platform/net/socks5.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/net/net_error.h"

namespace kavri {
namespace {

// Serves exact reads from bytes already read, then from the socket.
struct Reader {
    TcpSocket& socket;
    std::string pending;
    std::string take(std::size_t n) {
        std::string out = pending.substr(0, std::min(n, pending.size()));
        pending.erase(0, out.size());
        if (out.size() < n) out += socket.readExactly(n - out.size());
        return out;
    }
};

std::uint8_t byteAt(const std::string& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

}  // namespace

void Socks5::connect(TcpSocket& socket, const Endpoint& to) {
    socket.writeAll(std::string("\x05\x01\x00", 3));
    const std::string choice = socket.readExactly(2);
    if (byteAt(choice, 0) != 5 || byteAt(choice, 1) != 0)
        throw NetError("the SOCKS server wants an authentication method we do not offer");
    std::string request("\x05\x01\x00", 3);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, to.host.c_str(), &v4) == 1) {
        request.push_back('\x01');
        request.append(reinterpret_cast<const char*>(&v4), 4);
    } else if (inet_pton(AF_INET6, to.host.c_str(), &v6) == 1) {
        request.push_back('\x04');
        request.append(reinterpret_cast<const char*>(&v6), 16);
    } else {
        if (to.host.size() > 255) throw NetError("host name too long for SOCKS: " + to.host);
        request.push_back('\x03');
        request.push_back(static_cast<char>(to.host.size()));
        request += to.host;
    }
    request.push_back(static_cast<char>(to.port >> 8));
    request.push_back(static_cast<char>(to.port & 0xFF));
    socket.writeAll(request);
    const std::string head = socket.readExactly(4);
    if (byteAt(head, 0) != 5) throw NetError("not a SOCKS5 reply");
    if (byteAt(head, 1) != 0)
        throw NetError("the SOCKS server refused " + to.text() + " (code " + std::to_string(byteAt(head, 1)) + ")");
    switch (byteAt(head, 3)) {
        case 1: socket.readExactly(4 + 2); break;
        case 4: socket.readExactly(16 + 2); break;
        case 3: socket.readExactly(byteAt(socket.readExactly(1), 0) + 2u); break;
        default: throw NetError("malformed SOCKS5 reply");
    }
}

std::optional<Endpoint> Socks5::readConnectRequest(TcpSocket& socket, std::string initial) {
    try {
        Reader r{socket, std::move(initial)};
        const std::string greeting = r.take(2);
        if (byteAt(greeting, 0) != 5) return std::nullopt;
        const std::string methods = r.take(byteAt(greeting, 1));
        if (methods.find('\x00') == std::string::npos) {
            socket.writeAll(std::string("\x05\xFF", 2));
            return std::nullopt;
        }
        socket.writeAll(std::string("\x05\x00", 2));
        const std::string head = r.take(4);
        if (byteAt(head, 0) != 5 || byteAt(head, 1) != 1) {
            socket.writeAll(std::string("\x05\x07\x00\x01\x00\x00\x00\x00\x00\x00", 10));
            return std::nullopt;
        }
        Endpoint to;
        char text[INET6_ADDRSTRLEN] = {};
        switch (byteAt(head, 3)) {
            case 1: {
                const std::string a = r.take(4);
                inet_ntop(AF_INET, a.data(), text, sizeof text);
                to.host = text;
                break;
            }
            case 4: {
                const std::string a = r.take(16);
                inet_ntop(AF_INET6, a.data(), text, sizeof text);
                to.host = text;
                break;
            }
            case 3: to.host = r.take(byteAt(r.take(1), 0)); break;
            default: return std::nullopt;
        }
        const std::string port = r.take(2);
        to.port = static_cast<std::uint16_t>((byteAt(port, 0) << 8) | byteAt(port, 1));
        if (to.host.empty()) return std::nullopt;
        return to;
    } catch (const NetError&) {
        return std::nullopt;
    }
}

void Socks5::reply(TcpSocket& socket, bool succeeded) {
    socket.writeAll(succeeded ? std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10)
                              : std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10));
}

}  // namespace kavri

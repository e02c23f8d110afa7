// Messages from the app: short UTF-8 commands, each answered with one reply
// or none. The provider answers "poll-now", "ping:<host>:<port>" and
// "revalidate" itself; everything else goes to the framework.
#include <charconv>
#include <future>
#include <memory>
#include <string_view>
#include <vector>

#include "core/utf8.h"
#include "platform/network/tcp_probe.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kavri {
namespace {

// Host and port of "ping:<host>:<port>": the text split at every ":" with
// empty pieces dropped must give exactly three, the last a decimal port of
// 0 ... 65535. Nothing for anything else.
std::optional<std::pair<std::string, std::uint16_t>> pingTarget(std::string_view text) {
    std::vector<std::string_view> pieces;
    while (!text.empty()) {
        const auto colon = text.find(':');
        const auto piece = text.substr(0, colon);
        if (!piece.empty()) pieces.push_back(piece);
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
    }
    if (pieces.size() != 3) return std::nullopt;
    std::uint16_t port = 0;
    const auto digits = pieces[2];
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return std::pair{std::string(pieces[1]), port};
}

}  // namespace

void PacketTunnelProvider::handleAppMessage(std::string data, MessageCompletion completion) {
    auto shared = std::make_shared<MessageCompletion>(std::move(completion));
    const bool started = spawner_.spawn([this, data = std::move(data), shared](std::stop_token stop) {
        auto reply = dispatchAppMessage(data, stop);
        if (*shared) (*shared)(std::move(reply));
    });
    if (!started && *shared) (*shared)(std::nullopt);  // the run is stopping
}

std::optional<std::string> PacketTunnelProvider::dispatchAppMessage(const std::string& data, std::stop_token stop) {
    if (Utf8::isValid(data)) {
        if (data == "poll-now") {
            run_.resetPollThrottle();  // the app's request is not refused for a recent poll
            return heal_.poll("stack_select", false, stop) ? "ok" : "fail";
        }
        if (data.starts_with("ping:")) {
            const auto target = pingTarget(data);
            if (!target) return std::nullopt;
            const auto ms = TcpProbe::connectMillis(target->first, target->second, settings_.pingLimit, stop);
            return ms ? std::to_string(*ms) : std::string();
        }
        if (data == "revalidate") {
            run_.noteWake(clock_.wallNow());
            std::lock_guard lock(tasksMutex_);
            if (heartbeat_) heartbeat_->pulse();  // its next tick beats at once
            return "ok";
        }
    }

    // The framework's own answer, whatever it is.
    auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
    auto reply = promise->get_future();
    ExtensionProvider::handleAppMessage(data, [promise](std::optional<std::string> r) {
        try {
            promise->set_value(std::move(r));
        } catch (const std::future_error&) {  // a second answer is dropped
        }
    });
    return reply.get();
}

}  // namespace kavri

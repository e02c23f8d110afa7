// The tunnel control protocol, which is how start options reach the
// extension: one line as the host reads it, decoded into a request, and the
// reply that echoes its id. The same line read as the host's status report,
// as a client reads it.
#include <cstdint>
#include <string>
#include <variant>

#include "fuzz/fuzz_check.h"
#include "platform/ne/tunnel_control_protocol.h"
#include "platform/ne/tunnel_control_server.h"

using namespace kavri;
using nlohmann::json;
using Protocol = TunnelControlProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    auto parsed = Protocol::parseLine(line);
    if (auto* error = std::get_if<Protocol::RequestError>(&parsed)) {
        FUZZ_CHECK(error->id.is_null() && !error->error.empty());
        return 0;
    }
    const json& object = std::get<json>(parsed);
    (void)Protocol::readSnapshot(object);

    json reply;
    auto decoded = Protocol::decodeRequest(object);
    if (auto* error = std::get_if<Protocol::RequestError>(&decoded)) {
        reply = {{"id", error->id}, {"ok", false}, {"error", error->error}};
    } else {
        const auto& request = std::get<Protocol::Request>(decoded);
        FUZZ_CHECK(request.options.is_null() || request.options.is_object());
        // A message's bytes travel back unchanged.
        FUZZ_CHECK(Protocol::decodeData(Protocol::encodeData(request.data)) == request.data);
        reply = {{"id", request.id}, {"ok", true}, {"reply", Protocol::encodeData(request.data)}};
    }
    // Whatever the id holds, the reply is one line that reads back as an object.
    const std::string out = TunnelControlServer::serialize(reply);
    FUZZ_CHECK(out.find('\n') == out.size() - 1);
    FUZZ_CHECK(std::holds_alternative<json>(Protocol::parseLine(std::string_view(out).substr(0, out.size() - 1))));
    return 0;
}

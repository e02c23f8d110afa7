#include "platform/engine/libbox_command_server.h"

#include "platform/engine/proxy_engine.h"
#include "platform/runtime/log.h"

namespace kavri {

void LibboxCommandServer::resetNetwork() {
    const auto engine = engine_.lock();
    if (!engine || !engine->running()) return;
    const std::size_t dropped = engine->closeAllConnections();
    Log::line("[engine] network reset: " + std::to_string(dropped) + " connections dropped");
}

}  // namespace kavri

#include "platform/engine/http_server_tables.h"

#include <httplib.h>

#include <mutex>
#include <thread>

namespace kavri {

void buildHttpServerTables() {
    static std::once_flag once;
    std::call_once(once, [] {
        httplib::Server server;
        server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        const int port = server.bind_to_any_port("127.0.0.1");
        std::thread thread([&] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
        httplib::Client("127.0.0.1", port).Get("/");
        server.stop();
        thread.join();
    });
}

}  // namespace kavri

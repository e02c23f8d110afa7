#pragma once

#include <memory>
#include <string>
#include <thread>

#include "testing/local_account.h"

namespace httplib {
class Server;
}

namespace kavri {

// The payment pages of the local backend, plain HTTP on loopback, as a
// payment provider would show them in the browser: "GET /pay/<id>" shows
// the plan, the price and one button; the button ("POST
// /pay/<id>/complete") pays and sends the browser on to "kavri://paid",
// which hands the app its cue to read the account again.
class PaymentPage {
public:
    static constexpr const char* paidURL = "kavri://paid";

    // Listens on 127.0.0.1:`port` (0: a free port); throws when it cannot.
    PaymentPage(LocalAccount& account, int port = 0);
    ~PaymentPage();
    PaymentPage(const PaymentPage&) = delete;
    PaymentPage& operator=(const PaymentPage&) = delete;

    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    LocalAccount& account_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace kavri

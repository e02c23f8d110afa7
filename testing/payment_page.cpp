#include "testing/payment_page.h"

#include <httplib.h>

#include <chrono>
#include <stdexcept>

#include "platform/engine/http_server_tables.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

constexpr const char* head =
    "<!doctype html><html lang=\"ru\"><head><meta charset=\"utf-8\"><title>Оплата — Каври</title>%s</head>"
    "<body style=\"font-family:sans-serif;max-width:30em;margin:3em auto;line-height:1.5\">";

std::string page(const std::string& extraHead, const std::string& body) {
    std::string text = head;
    text.replace(text.find("%s"), 2, extraHead);
    return text + body + "</body></html>";
}

std::string rubles(std::int64_t price) { return std::to_string(price) + " ₽"; }

}  // namespace

PaymentPage::PaymentPage(LocalAccount& account, int port)
    : account_(account), server_(std::make_unique<httplib::Server>()) {
    buildHttpServerTables();  // before this server's threads start
    server_->set_payload_max_length(64 * 1024);
    server_->Get(R"(/pay/([A-Za-z0-9]+))", [this](const httplib::Request& req, httplib::Response& res) {
        const auto payment = account_.payment(req.matches[1]);
        if (!payment) {
            res.status = 404;
            res.set_content(page("", "<h1>Платёж не найден</h1>"), "text/html; charset=utf-8");
            return;
        }
        const std::string button =
            payment->paid ? "<p>Этот платёж уже оплачен. <a href=\"" + std::string(paidURL) + "\">Вернуться в Каври</a></p>"
                          : "<form method=\"post\" action=\"/pay/" + payment->id +
                                "/complete\"><input type=\"hidden\" name=\"confirm\" value=\"1\">"
                                "<button id=\"pay\" type=\"submit\" style=\"font-size:1.2em;padding:.5em 2em\">"
                                "Оплатить " + rubles(payment->price) + "</button></form>";
        res.set_content(page("", "<h1>Оплата подписки Каври</h1><p>Тариф: " + payment->planTitle + " — " +
                                     rubles(payment->price) + "</p>" + button +
                                     "<p style=\"color:#888\">Локальная страница оплаты: деньги не списываются.</p>"),
                        "text/html; charset=utf-8");
    });
    server_->Post(R"(/pay/([A-Za-z0-9]+)/complete)", [this](const httplib::Request& req, httplib::Response& res) {
        if (!account_.completePayment(req.matches[1])) {
            res.status = 404;
            res.set_content(page("", "<h1>Платёж не найден</h1>"), "text/html; charset=utf-8");
            return;
        }
        const std::string paid = paidURL;
        res.set_content(page("<meta http-equiv=\"refresh\" content=\"0;url=" + paid + "\">",
                             "<h1>Оплата прошла</h1><p><a id=\"back\" href=\"" + paid +
                                 "\">Вернуться в Каври</a></p><script>location.href=\"" + paid + "\"</script>"),
                        "text/html; charset=utf-8");
    });
    server_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        Log::line("[Kavri] payment page: " + req.method + " " + req.path + " → " + std::to_string(res.status));
    });
    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1") : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (port_ <= 0) throw std::runtime_error("the payment pages cannot listen on 127.0.0.1:" + std::to_string(port));
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

PaymentPage::~PaymentPage() {
    server_->stop();
    thread_.join();
}

}  // namespace kavri

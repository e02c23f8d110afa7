#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "api/subscription_meta.h"
#include "api/subscription_userinfo.h"
#include "core/kavri_http.h"
#include "core/kavri_store.h"
#include "platform/http/http_session.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The app's client for the subscription configuration: downloads
// "sub/<token>" over the control-plane hosts, opens a sealed reply, takes the
// "_kavri_meta" block out of it, applies the side settings riding in it
// (learned fallback hosts, the device-removed mark, the detection settings)
// and hands back the engine configuration, the metadata and the traffic
// counters. Holds no state of its own: any thread may call it.
class SubscriptionClient {
public:
    // The download's errors, each with its Russian text for the user.
    class FetchError : public std::exception {
    public:
        enum class Kind {
            server,        // an HTTP status the client has no meaning for
            network,       // the transport failed
            malformed,     // the reply could not be used
            invalidURL,    // the pasted text holds no token
            unauthorized,  // 401
            expired,       // 402
            suspended,     // 403
            noEndpoints,   // 503
        };

        static FetchError server(int status);
        // `description` is the underlying error's text for the user.
        static FetchError network(std::exception_ptr underlying, std::string description);
        static FetchError network(const HttpError& error);
        static FetchError malformed(std::string reason);
        static FetchError invalidURL();
        static FetchError unauthorized();
        static FetchError expired();
        static FetchError suspended();
        static FetchError noEndpoints();

        Kind kind() const { return kind_; }
        int status() const { return status_; }                 // server: the status; else 0
        const std::string& detail() const { return detail_; }  // malformed: its reason; network: the description
        std::exception_ptr underlying() const { return underlying_; }  // network only

        // The user's text, e.g. "Ошибка сервера: 500", "Подписка истекла".
        std::string errorDescription() const;
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        FetchError(Kind kind, int status = 0, std::string detail = {}, std::exception_ptr underlying = nullptr);
        Kind kind_;
        int status_;
        std::string detail_;
        std::exception_ptr underlying_;
        std::string description_;
    };

    struct FetchResult {
        std::string singboxConfigData;  // the reply without "_kavri_meta": compact JSON, keys sorted
        SubscriptionMeta meta;
        std::optional<SubscriptionUserinfo> userinfo;  // absent without a "Subscription-Userinfo" header
    };

    // The whole walk may take this long (checked before each host).
    static constexpr double budgetSeconds = 60;
    // A longer reply is no configuration; it fails the attempt as a
    // transport error before it is read whole.
    static constexpr std::size_t maxReplyBytes = 16 * 1024 * 1024;

    explicit SubscriptionClient(HttpSession session = KavriHTTP::api(), KavriStore& store = KavriStore::shared(),
                                Clock& clock = Clock::system());

    const HttpSession& session() const { return session_; }

    // The download as the subscription store runs it: `token` is a bare token
    // or a pasted link, `timeoutSeconds` the limit of one attempt. Throws
    // FetchError: invalidURL before any request for a text without a token;
    // unauthorized, expired or suspended as soon as a host answers so; else,
    // once every host failed or the budget ran out, the last host's error
    // (network "cannot connect" when no host was tried). Throws HttpError
    // (Cancelled) when `stop` is requested.
    FetchResult fetch(std::string_view token, double timeoutSeconds, std::stop_token stop = {}) const;

    // One attempt at the host whose base URL ("https://host[:port]") is
    // `base`, for the bare `token`. Errors that ask for the next host come
    // wrapped in ControlPlane::RetryNextHost; unauthorized, expired and
    // suspended (and a cancellation) end the walk. A failed attempt writes
    // nothing to the store.
    FetchResult fetch(const std::string& base, const std::string& token, double timeoutSeconds,
                      std::stop_token stop = {}) const;

    // The bare token of what the user pasted: a "kavri" link's first "token"
    // query item; an "http(s)" link's last path component (not empty, "sub"
    // or "/"); or a text of at least 16 characters from
    // "0123456789abcdefABCDEF-_". Blanks around are ignored. Throws
    // FetchError::invalidURL for anything else.
    static std::string token(std::string_view pasted);

    // "KavriApp/<short version> iOS".
    static std::string userAgent();

private:
    HttpSession session_;
    KavriStore& store_;
    Clock& clock_;
};

}  // namespace kavri

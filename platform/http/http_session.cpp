#include "platform/http/http_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>

namespace kavri {
namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
}

struct Transfer {
    HttpResponse response;
    std::atomic<std::int64_t> lastActivity{0};  // steady-clock nanoseconds
    curl_off_t seenDown = 0, seenUp = 0;
    std::optional<std::size_t> maxBody;
    bool tooLarge = false;
    const HttpRequest* request = nullptr;
    bool sinkRefused = false;
    std::size_t bodyBytes = 0;
    CURL* easy = nullptr;

    void touch() { lastActivity = std::chrono::steady_clock::now().time_since_epoch().count(); }
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (t->maxBody && t->bodyBytes + size * count > *t->maxBody) {
        t->tooLarge = true;
        return 0;  // ends the transfer
    }
    t->bodyBytes += size * count;
    if (t->request->bodySink) {
        if (!t->request->bodySink(std::string_view(data, size * count))) {
            t->sinkRefused = true;
            return 0;
        }
    } else {
        if (t->response.body.empty()) {
            // Room for the whole body at once when its length is announced (and
            // allowed), rather than growing it piece by piece.
            curl_off_t length = -1;
            if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0 &&
                (!t->maxBody || static_cast<std::size_t>(length) <= *t->maxBody))
                t->response.body.reserve(static_cast<std::size_t>(length));
        }
        t->response.body.append(data, size * count);
    }
    t->touch();
    return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    t->touch();
    if (line.rfind("HTTP/", 0) == 0) {
        t->response.headers.clear();  // a new reply (after 100 Continue, say)
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon != std::string_view::npos)
        t->response.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    return size * count;
}

int onProgress(void* user, curl_off_t downTotal, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* t = static_cast<Transfer*>(user);
    if (down != t->seenDown && t->request->progress) t->request->progress(down, downTotal);
    if (down != t->seenDown || up != t->seenUp) {
        t->seenDown = down;
        t->seenUp = up;
        t->touch();
    }
    return 0;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

void HttpRequest::setHeader(std::string name, std::string value) {
    for (auto& [n, v] : headers)
        if (equalsIgnoreCase(n, name)) {
            v = std::move(value);
            return;
        }
    headers.emplace_back(std::move(name), std::move(value));
}

bool HttpRequest::isHeaderText(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void HttpRequest::setOptionalHeader(std::string name, const std::optional<std::string>& value) {
    if (value && !value->empty() && isHeaderText(*value)) setHeader(std::move(name), *value);
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsIgnoreCase(n, name)) return v;
    return std::nullopt;
}

namespace {

template <class Kept>
std::string percentEncoded(std::string_view text, Kept kept) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (c < 0x80 && kept(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0F]);
        }
    }
    return out;
}

}  // namespace

std::string percentEncodeAlnum(std::string_view text) {
    return percentEncoded(text, [](unsigned char c) { return std::isalnum(c) != 0; });
}

std::string percentEncodePathSegment(std::string_view text) {
    // "." and ".." would name this folder and the one above it.
    if (text == "." || text == "..") return percentEncodeAlnum(text);
    return percentEncoded(
        text, [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; });
}

HttpResponse HttpSession::send(const HttpRequest& request, std::stop_token stop) const {
    for (const auto& [name, value] : request.headers)
        if (name.empty() || !HttpRequest::isHeaderText(name) || !HttpRequest::isHeaderText(value))
            throw HttpError(HttpError::Kind::Transport, "header refused: " + percentEncodeAlnum(name),
                            CURLE_BAD_FUNCTION_ARGUMENT);
    globalInit();
    using namespace std::chrono;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) throw HttpError(HttpError::Kind::Transport, "cannot create an HTTP transfer");

    Transfer t;
    t.request = &request;
    CURL* c = easy.get();
    t.easy = c;
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROXY, config_.proxy.c_str());  // "" disables environment proxies
    curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!config_.caBundle.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, config_.caBundle.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    if (request.maxBodyBytes) {
        t.maxBody = request.maxBodyBytes;
        curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(*request.maxBodyBytes));
    }

    const bool sendsBody = !request.body.empty() || request.method == "POST" || request.method == "PUT";
    if (request.method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
        if (request.method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method != "GET") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    bool hasExpect = false, hasType = false;
    for (const auto& [name, value] : request.headers) {
        if (equalsIgnoreCase(name, "Expect")) hasExpect = true;
        if (equalsIgnoreCase(name, "Content-Type")) hasType = true;
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        headers.reset(curl_slist_append(headers.release(), line.c_str()));
    }
    if (!hasExpect) headers.reset(curl_slist_append(headers.release(), "Expect:"));
    if (sendsBody && !hasType) headers.reset(curl_slist_append(headers.release(), "Content-Type:"));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

    const auto idleLimit = request.timeout.value_or(config_.requestTimeout);
    const auto totalLimit = config_.resourceTimeout;
    const auto start = steady_clock::now();
    t.touch();

    curl_multi_add_handle(multi.get(), c);
    std::stop_callback wake(stop, [m = multi.get()] { curl_multi_wakeup(m); });

    int running = 1;
    while (running) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
        if (!running) break;
        if (stop.stop_requested()) {
            curl_multi_remove_handle(multi.get(), c);
            throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
        }
        const auto now = steady_clock::now();
        const auto idleSince = steady_clock::time_point(steady_clock::duration(t.lastActivity.load()));
        if (now - idleSince >= idleLimit || now - start >= totalLimit) {
            curl_multi_remove_handle(multi.get(), c);
            throw HttpError(HttpError::Kind::TimedOut, "request timed out: " + request.url);
        }
        const auto untilIdle = idleLimit - (now - idleSince);
        const auto untilTotal = totalLimit - (now - start);
        const auto wait = std::clamp(duration_cast<milliseconds>(std::min(untilIdle, untilTotal)) + 1ms, 1ms, 100ms);
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }

    CURLcode result = CURLE_OK;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued))
        if (msg->msg == CURLMSG_DONE) result = msg->data.result;
    curl_multi_remove_handle(multi.get(), c);

    if (stop.stop_requested()) throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
    if (t.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        throw HttpError(HttpError::Kind::Transport, "reply larger than " + std::to_string(*request.maxBodyBytes) +
                                                        " bytes: " + request.url,
                        CURLE_FILESIZE_EXCEEDED);
    }
    if (t.sinkRefused) throw HttpError(HttpError::Kind::Transport, "the reply body was refused: " + request.url, result);
    if (result != CURLE_OK) {
        const std::string what = std::string(curl_easy_strerror(result)) + ": " + request.url;
        switch (result) {
            case CURLE_OPERATION_TIMEDOUT:
                throw HttpError(HttpError::Kind::TimedOut, what, result);
            case CURLE_WEIRD_SERVER_REPLY:
            case CURLE_UNSUPPORTED_PROTOCOL:
                throw HttpError(HttpError::Kind::NotHttp, what, result);
            default:
                throw HttpError(HttpError::Kind::Transport, what, result);
        }
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) throw HttpError(HttpError::Kind::NotHttp, "no HTTP status: " + request.url);
    t.response.status = static_cast<int>(status);
    return std::move(t.response);
}

}  // namespace kavri

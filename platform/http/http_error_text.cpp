#include "platform/http/http_error_text.h"

#include <curl/curl.h>

namespace kavri {

std::string HttpErrorText::localized(const HttpError& error) {
    switch (error.kind()) {
        case HttpError::Kind::TimedOut: return "Превышен лимит времени на запрос.";
        case HttpError::Kind::Cancelled: return "отменено";
        case HttpError::Kind::NotHttp: return "Неверный ответ сервера.";
        case HttpError::Kind::Transport: break;
    }
    switch (error.curlCode()) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return "Не удалось найти сервер с указанным именем хоста.";
        case CURLE_OPERATION_TIMEDOUT: return "Превышен лимит времени на запрос.";
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE: return "Сертификат для этого сервера недействителен.";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED: return "Произошла ошибка SSL, и безопасное соединение с сервером невозможно.";
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR: return "Сетевое соединение потеряно.";
        case CURLE_FILESIZE_EXCEEDED: return "Ресурс превышает максимально допустимый размер.";
        default: return "Не удалось подключиться к серверу.";
    }
}

}  // namespace kavri

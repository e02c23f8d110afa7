#include "app/error_description.h"

#include "api/decoding_error.h"
#include "api/kavri_api.h"
#include "api/subscription_client.h"
#include "core/keychain.h"
#include "platform/http/http_error_text.h"

namespace kavri {

std::string ErrorDescription::of(std::exception_ptr error) {
    if (!error) return "Операция не может быть завершена.";
    try {
        std::rethrow_exception(error);
    } catch (const SubscriptionClient::FetchError& e) {
        return e.errorDescription();
    } catch (const KavriAPI::Error& e) {
        return e.localizedDescription();
    } catch (const HttpError& e) {
        return HttpErrorText::localized(e);
    } catch (const DecodingError&) {
        return "Данные не удалось прочитать, так как они имеют неверный формат.";
    } catch (const KeychainError&) {
        return "Операция не может быть завершена. (Kavri.KeychainError, ошибка 0.)";
    } catch (...) {
        return "Операция не может быть завершена.";
    }
}

}  // namespace kavri

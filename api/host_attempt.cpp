#include "api/host_attempt.h"

#include "core/control_plane.h"

namespace kavri {

void HostAttempt::retry(std::exception_ptr why) { throw ControlPlane::RetryNextHost(std::move(why)); }

HttpResponse HostAttempt::send(const HttpSession& session, const HttpRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
    try {
        return session.send(request, stop);
    } catch (const HttpError& error) {
        if (error.kind() == HttpError::Kind::Cancelled || stop.stop_requested()) throw;
        retry(std::make_exception_ptr(error));
    }
}

}  // namespace kavri

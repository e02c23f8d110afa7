#pragma once

#include "platform/http/http_session.h"

namespace kavri {

// Sessions for backend requests: ephemeral, no waiting for connectivity,
// trusting the deployment's CA bundle.
class KavriHTTP {
public:
    // Request limit 15 s, resource limit 20 s.
    static HttpSession api();
    // Request limit `timeoutSeconds`, resource limit `timeoutSeconds` + 5 s.
    static HttpSession apiSession(double timeoutSeconds);
    // Request limit `requestSeconds`, resource limit `resourceSeconds`.
    static HttpSession apiSession(double requestSeconds, double resourceSeconds);
};

}  // namespace kavri

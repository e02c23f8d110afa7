#pragma once

namespace kavri {

// cpp-httplib builds a table of its own the first time any of its servers
// parses a request, behind a once-only guard that ThreadSanitizer cannot see
// into. This parses one request on a server whose threads the calling thread
// joins, once per process, so that every server thread started afterwards
// comes after that table. Each of our servers (the engine's controller, the
// test servers) calls it before its own threads start.
void buildHttpServerTables();

}  // namespace kavri

#pragma once

#include <filesystem>

#include "platform/runtime/detached_process.h"

namespace kavri {

// Opens applications the way the desktop does.
class Workspace {
public:
    // Starts the app of the bundle at `bundle` as a process of its own. With
    // `newInstance` the new process becomes the running app even while this
    // one still runs (it waits for this one to end) instead of handing itself
    // over to it. Throws DetachedProcess::Error when it cannot be started.
    static void openApplication(const std::filesystem::path& bundle, bool newInstance);

    // The argument that asks a starting app to wait for the running one.
    static constexpr const char* newInstanceArgument = "--new-instance";
};

}  // namespace kavri

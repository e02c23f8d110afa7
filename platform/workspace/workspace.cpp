#include "platform/workspace/workspace.h"

#include "platform/bundle/app_bundle.h"

namespace kavri {

void Workspace::openApplication(const std::filesystem::path& bundle, bool newInstance) {
    std::vector<std::string> argv{AppBundle::executable(bundle).string()};
    if (newInstance) argv.emplace_back(newInstanceArgument);
    DetachedProcess::start(argv);
}

}  // namespace kavri

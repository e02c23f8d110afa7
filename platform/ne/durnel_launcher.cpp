#include "platform/ne/durnel_launcher.h"

#include <cstdlib>

#include "platform/runtime/detached_process.h"
#include "platform/runtime/log.h"

namespace kavri {

std::filesystem::path DurnelLauncher::program(const Settings& settings) {
    namespace fs = std::filesystem;
    if (settings.program) return *settings.program;
    if (const char* env = std::getenv("KAVRI_DURNEL"); env && *env) return env;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path dir = ec ? fs::current_path(ec) : self.parent_path();
    const fs::path beside = dir / "durnel";
    if (fs::is_regular_file(beside, ec)) return beside;
    return (dir.parent_path() / "tunnel" / "durnel").lexically_normal();
}

pid_t DurnelLauncher::launch(const Settings& settings, const std::filesystem::path& sharedDirectory) {
    const std::filesystem::path path = program(settings);
    DetachedProcess::Options options{settings.environment, settings.logFile};
    options.environment["KAVRI_SHARED_DIR"] = sharedDirectory.string();
    const pid_t pid = DetachedProcess::start({std::filesystem::absolute(path).string()}, options);
    Log::line("[Kavri] VPN: started the tunnel extension " + path.string() + " (pid " + std::to_string(pid) + ")");
    return pid;
}

}  // namespace kavri

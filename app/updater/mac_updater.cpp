#include "app/updater/mac_updater.h"

#include <unistd.h>

#include <fstream>
#include <system_error>

#include "platform/bundle/app_bundle.h"
#include "platform/runtime/detached_process.h"
#include "platform/runtime/shell_quote.h"
#include "platform/runtime/uuid.h"

namespace kavri {

namespace fs = std::filesystem;

namespace {

// A path as it stands between the script's double quotes.
std::string word(const fs::path& path) { return ShellQuote::insideDoubleQuotes(path.string()); }

// Starts the bundle's app in a session of its own, so that it outlives the script.
std::string openLine(const fs::path& bundle) {
    return "/usr/bin/setsid -f \"" + word(AppBundle::executable(bundle)) + "\" </dev/null";
}

}  // namespace

MacUpdater::Deps MacUpdater::systemDeps(std::function<void(std::chrono::milliseconds)> terminateAfter) {
    return {AppBundle::mainBundlePath(), fs::temp_directory_path(), ::getpid(), std::move(terminateAfter)};
}

MacUpdater::MacUpdater(Deps deps) : deps_(std::move(deps)) {}

void MacUpdater::cleanupLeftovers() { cleanupLeftovers(AppBundle::mainBundlePath()); }

void MacUpdater::cleanupLeftovers(const fs::path& bundle) {
    const fs::path folder = bundle.parent_path();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(stagedPrefix) || name.starts_with(previousPrefix)) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

std::string MacUpdater::swapScript(const SwapPaths& p) {
    const std::string current = "\"" + word(p.current) + "\"";
    const std::string staged = "\"" + word(p.staged) + "\"";
    const std::string previous = "\"" + word(p.previous) + "\"";
    const std::string lines[] = {
        "#!/bin/bash",
        "# Ждём, пока прежняя версия закроется: подменять работающий бандл нельзя.",
        "while kill -0 " + std::to_string(p.pid) + " 2>/dev/null; do sleep 0.2; done",
        "",
        "# Убираем старое В СТОРОНУ, а не в никуда.",
        "if ! /bin/mv " + current + " " + previous + "; then",
        "    # Сдвинуть не вышло — цель не тронута, приложение осталось рабочим.",
        "    /bin/rm -rf " + staged,
        "    " + openLine(p.current),
        "    /bin/rm -f \"$0\"",
        "    exit 1",
        "fi",
        "",
        "# Ставим новое на освободившееся место.",
        "if ! /bin/mv " + staged + " " + current + "; then",
        "    # Не встало — возвращаем прежнюю версию. Человек остаётся на старой, но РАБОЧЕЙ.",
        "    /bin/mv " + previous + " " + current,
        "    " + openLine(p.current),
        "    /bin/rm -f \"$0\"",
        "    exit 1",
        "fi",
        "",
        "# Только теперь прежняя версия не нужна.",
        "/bin/rm -rf " + previous,
        openLine(p.current),
        "/bin/rm -f \"$0\"",
    };
    std::string text = lines[0];
    for (std::size_t i = 1; i < std::size(lines); ++i) text += "\n" + lines[i];
    return text;
}

void MacUpdater::swapAndRelaunch(const fs::path& staged) {
    const fs::path folder = deps_.bundle.parent_path();
    SwapPaths paths{deps_.bundle, staged, folder / (std::string(previousPrefix) + Uuid::make() + ".app"), deps_.pid};
    const fs::path script = deps_.temporaryDirectory / ("kavri-swap-" + Uuid::make() + ".sh");

    // Written whole under a temporary name, then renamed into place.
    const fs::path partial = script.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << swapScript(paths);
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(partial, ignored);
            throw fs::filesystem_error("cannot write the swap script", partial,
                                       std::make_error_code(std::errc::io_error));
        }
    }
    fs::rename(partial, script);
    fs::permissions(script, fs::perms(0755), fs::perm_options::replace);
    DetachedProcess::start({"/bin/bash", script.string()});
    deps_.terminateAfter(terminateDelay);
}

}  // namespace kavri

#include "app/sysext/system_extension_installer.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/bundle/app_bundle.h"
#include "platform/runtime/log.h"
#include "platform/runtime/process_runner.h"
#include "platform/runtime/shell_quote.h"
#include "platform/workspace/workspace.h"

namespace kavri {

namespace fs = std::filesystem;

// Forwards the request's answers while the installer exists.
class SystemExtensionInstaller::Delegate final : public SystemExtensionRequestDelegate {
public:
    explicit Delegate(SystemExtensionInstaller& owner) : owner_(owner) {}

    SystemExtensionReplacementAction actionForReplacing(const SystemExtensionRequest&, const std::string& existing,
                                                        const std::string& next) override {
        return owner_.actionForReplacing(existing, next);
    }
    void requestNeedsUserApproval(const SystemExtensionRequest&) override { owner_.requestNeedsUserApproval(); }
    void requestDidFinish(const SystemExtensionRequest&, long result) override { owner_.requestDidFinish(result); }
    void requestDidFail(const SystemExtensionRequest&, const SystemExtensionError& error) override {
        owner_.requestDidFail(error);
    }

private:
    SystemExtensionInstaller& owner_;
};

namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) return entry->pw_dir;
    return "/";
}

// A folder the app may copy into with its own rights, made when missing.
bool writableFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    return !ec && fs::is_directory(folder, ec) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string SystemExtensionInstaller::applicationsRoot() {
    std::string root = (fs::path(homeDirectory()) / "Applications").string();
    if (const char* dir = std::getenv("KAVRI_APPLICATIONS_DIR"); dir && *dir) root = dir;
    if (root.back() != '/') root += '/';
    return root;
}

SystemExtensionInstaller::Deps SystemExtensionInstaller::systemDeps(
    std::function<void(std::chrono::milliseconds)> terminateAfter) {
    Deps deps;
    deps.bundle = AppBundle::mainBundlePath();
    deps.applicationsRoot = applicationsRoot();
    deps.manager = &SystemExtensionManager::shared();
    deps.xattr = (deps.bundle / "Contents" / "Helpers" / "xattr").string();
    deps.openApplication = [](const fs::path& bundle) { Workspace::openApplication(bundle, true); };
    deps.terminateAfter = std::move(terminateAfter);
    return deps;
}

SystemExtensionInstaller::SystemExtensionInstaller(MainExecutor& main, Deps deps)
    : ObservableStore(main), deps_(std::move(deps)), delegate_(std::make_shared<Delegate>(*this)) {}

SystemExtensionInstaller::~SystemExtensionInstaller() = default;

void SystemExtensionInstaller::activate() {
    const std::string path = deps_.bundle.string();
    if (!path.starts_with(deps_.applicationsRoot)) {
        state = State{State::Kind::notInApplications};
        return;
    }
    state = State{State::Kind::installing};
    Log::line(std::string("[Kavri] sysex activate: ") + extensionIdentifier + " из " + path);
    auto request = SystemExtensionRequest::activationRequest(
        extensionIdentifier, [&main = mainExecutor()](std::function<void()> work) { main.post(std::move(work)); });
    request->setDelegate(delegate_);
    deps_.manager->submitRequest(request);
}

void SystemExtensionInstaller::moveToApplications() {
    const fs::path source = deps_.bundle;
    const fs::path destination = fs::path(deps_.applicationsRoot) / source.filename();
    if (source.string() == destination.string()) return;
    state = State{State::Kind::installing};

    if (!copy(source, destination)) {
        state = State::failed(moveFailedText);
        return;
    }
    removeQuarantine(destination);
    try {
        deps_.openApplication(destination);
    } catch (const std::exception& e) {
        // The copy is in place but did not start: this one keeps running.
        Log::line(std::string("[Kavri] sysex relaunch: ") + e.what());
        state = State::failed(relaunchFailedText);
        return;
    }
    deps_.terminateAfter(terminateDelay);
}

bool SystemExtensionInstaller::copy(const fs::path& source, const fs::path& destination) {
    if (!writableFolder(destination.parent_path())) {
        Log::line("[Kavri] sysex move: " + destination.parent_path().string() +
                  " is not writable; asking for administrator rights");
        return copyWithAdministratorRights(source, destination);
    }
    try {
        if (fs::exists(fs::symlink_status(destination))) fs::remove_all(destination);
        fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        Log::line("[Kavri] sysex move: copied to " + destination.string());
        return true;
    } catch (const fs::filesystem_error& e) {
        Log::line(std::string("[Kavri] sysex move: ") + e.what());
    }
    return copyWithAdministratorRights(source, destination);
}

void SystemExtensionInstaller::removeQuarantine(const fs::path& copy) {
    if (deps_.xattr.empty()) return;
    // Its outcome changes nothing: the copy starts either way.
    const auto result = ProcessRunner::run(deps_.xattr, {"-dr", "com.apple.quarantine", copy.string()});
    if (result.status != 0)
        Log::line("[Kavri] sysex move: the quarantine mark stays (" + deps_.xattr + " exit " +
                  std::to_string(result.status) + ")");
}

bool SystemExtensionInstaller::copyWithAdministratorRights(const fs::path& source, const fs::path& destination) {
    const auto command = administratorCommand(source, destination);
    if (!command) {
        Log::line("[Kavri] sysex move: refused a path that cannot be quoted");
        return false;
    }
    const auto result = deps_.administrator.run(*command);
    if (!result.ok) {
        Log::line("[Kavri] sysex move: " + result.error);
        return false;
    }
    std::error_code ec;
    return fs::exists(fs::symlink_status(destination, ec));
}

std::optional<std::string> SystemExtensionInstaller::administratorCommand(const fs::path& source,
                                                                          const fs::path& destination) {
    if (!source.is_absolute() || !destination.is_absolute()) return std::nullopt;
    const auto from = ShellQuote::singleQuoted(source.string());
    const auto to = ShellQuote::singleQuoted(destination.string());
    if (!from || !to) return std::nullopt;
    return "/bin/rm -rf -- " + *to + " && /bin/cp -R -- " + *from + " " + *to;
}

SystemExtensionReplacementAction SystemExtensionInstaller::actionForReplacing(const std::string& existingVersion,
                                                                              const std::string& newVersion) {
    Log::line("[Kavri] sysex replace " + existingVersion + " → " + newVersion);
    return SystemExtensionReplacementAction::replace;
}

void SystemExtensionInstaller::requestNeedsUserApproval() {
    Log::line("[Kavri] sysex: ждём разрешения юзера в Системных настройках");
    setStateLater(State{State::Kind::needsApproval});
}

void SystemExtensionInstaller::requestDidFinish(long result) {
    if (result == SystemExtensionResult::willCompleteAfterReboot) {
        setStateLater(State{State::Kind::needsReboot});
        return;
    }
    const bool completed = result == SystemExtensionResult::completed;
    std::weak_ptr<bool> alive = alive_;
    mainExecutor().post([this, alive, completed] {
        if (alive.expired()) return;
        if (completed) Log::line("[Kavri] sysex: установлено");
        state = State{State::Kind::installed};
    });
}

void SystemExtensionInstaller::requestDidFail(const SystemExtensionError& error) {
    Log::line("[Kavri] sysex FAILED domain=" + error.domain + " code=" + std::to_string(error.code) +
              " info=" + error.userInfo);
    std::string text = error.localizedDescription;
    if (error.domain == SystemExtensionErrorCode::domain) {
        switch (error.code) {
            case SystemExtensionErrorCode::extensionNotFound:
                text = "Расширение не найдено внутри приложения (битая сборка)";
                break;
            case SystemExtensionErrorCode::validationFailed:
                text = "Система отклонила подпись расширения";
                break;
            case SystemExtensionErrorCode::authorizationRequired:
                text = "Нужно разрешение в Системных настройках";
                break;
            case SystemExtensionErrorCode::requestSuperseded:
                return;
            default:
                break;
        }
    }
    setStateLater(State::failed(std::move(text)));
}

void SystemExtensionInstaller::setStateLater(State next) {
    std::weak_ptr<bool> alive = alive_;
    mainExecutor().post([this, alive, next = std::move(next)] {
        if (!alive.expired()) state = next;
    });
}

}  // namespace kavri

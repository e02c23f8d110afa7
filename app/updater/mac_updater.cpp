#include "app/updater/mac_updater.h"

#include <curl/curl.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>

#include "api/app_update.h"
#include "app/error_description.h"
#include "app/updater/download_progress.h"
#include "core/deployment.h"
#include "core/property_list.h"
#include "core/utf8.h"
#include "platform/bundle/app_bundle.h"
#include "platform/codesign/code_signature.h"
#include "platform/runtime/decimal.h"
#include "platform/runtime/detached_process.h"
#include "platform/runtime/log.h"
#include "platform/runtime/process_runner.h"
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

// The text for the user of the error being handled.
std::string describeCurrentError() {
    try {
        throw;
    } catch (const MacUpdater::Failure& e) {
        return e.what();
    } catch (...) {
        return ErrorDescription::of(std::current_exception());
    }
}

// Copies a tree (links as links) so that the copy belongs to the app: every
// folder and file of it writable by its owner, whatever the image said.
void copyTree(const fs::path& from, const fs::path& to) {
    const auto status = fs::symlink_status(from);
    if (fs::is_symlink(status)) {
        fs::create_symlink(fs::read_symlink(from), to);
    } else if (fs::is_directory(status)) {
        fs::create_directory(to);
        for (const auto& e : fs::directory_iterator(from)) copyTree(e.path(), to / e.path().filename());
        fs::permissions(to, (status.permissions() & fs::perms(0755)) | fs::perms::owner_all, fs::perm_options::replace);
    } else {
        fs::copy_file(from, to);
        fs::permissions(to, (status.permissions() & fs::perms(0755)) | fs::perms::owner_write | fs::perms::owner_read,
                        fs::perm_options::replace);
    }
}

// The staged copies of the attempts under way in this process: the leftover
// clean-up passes them by. A copy is marked before it is made and stays
// marked until its attempt failed or, once handed over, until the app ends.
std::mutex stagingMutex;
std::set<std::string> staging;  // their names: each holds a fresh UUID

class StagingMark {
public:
    explicit StagingMark(const fs::path& staged) : staged_(staged.filename().string()) {
        std::lock_guard lock(stagingMutex);
        staging.insert(staged_);
    }
    ~StagingMark() {
        if (kept_) return;
        std::lock_guard lock(stagingMutex);
        staging.erase(staged_);
    }
    StagingMark(const StagingMark&) = delete;
    StagingMark& operator=(const StagingMark&) = delete;
    // The swap has the copy now.
    void keep() { kept_ = true; }

private:
    std::string staged_;
    bool kept_ = false;
};

}  // namespace

MacUpdater::Tools MacUpdater::Tools::inBundle(const fs::path& bundle) {
    const fs::path helpers = bundle / "Contents" / "Helpers";
    return {(helpers / "hdiutil").string(), (helpers / "codesign").string(), (helpers / "spctl").string(),
            (helpers / "xattr").string()};
}

MacUpdater::Deps MacUpdater::systemDeps(std::function<void(std::chrono::milliseconds)> terminateAfter) {
    const fs::path bundle = AppBundle::mainBundlePath();
    const Deployment deployment = Deployment::current();
    HttpSessionConfig downloads;
    // A slow image still arrives: a minute without a byte ends it, and so
    // does the download time limit, not its length.
    downloads.requestTimeout = std::chrono::seconds(60);
    downloads.resourceTimeout = downloadTimeLimit;
    downloads.caBundle = deployment.caBundle;
    return {bundle,
            fs::temp_directory_path(),
            ::getpid(),
            std::move(terminateAfter),
            Tools::inBundle(bundle),
            AppUpdate::currentBuild(),
            deployment.teamIdentifier,
            deployment.codeSigningRoots,
            HttpSession(downloads),
            defaultMaxImageBytes};
}

MacUpdater::MacUpdater(MainExecutor& main, Deps deps)
    : ObservableStore(main), deps_(std::move(deps)), calls_(main) {}

MacUpdater::~MacUpdater() { *alive_ = false; }

void MacUpdater::install(const AppUpdateInfo& offer) {
    const auto url = offer.downloadURL();
    if (!url) {
        Log::line("[Kavri] !! update failed: build " + std::to_string(offer.build) + " has no address");
        phase = Phase::failed(noAddressText);
        return;
    }
    Log::line("[Kavri] update: installing build " + std::to_string(offer.build) + " (" + offer.version + ") from " +
              *url);
    calls_.start([this, offer](StoreCalls::Call& call) { attempt(offer, call); });
}

void MacUpdater::attempt(const AppUpdateInfo& offer, StoreCalls::Call& call) {
    const auto fail = [&](std::string text) {
        Log::line("[Kavri] !! update failed: " + text);
        call.onMain([&] { phase = Phase::failed(std::move(text)); });
    };
    fs::path image;
    try {
        image = download(*offer.downloadURL(), call);
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (...) {
        return fail(describeCurrentError());
    }
    // From here on the image goes whatever happens, and a mounted image is
    // detached, before a failure is shown.
    fs::path mountPoint;
    const auto tidy = [&] {
        if (!mountPoint.empty()) detach(std::exchange(mountPoint, {}));
        std::error_code ignored;
        fs::remove(image, ignored);
    };
    const fs::path staged = deps_.bundle.parent_path() / (std::string(stagedPrefix) + Uuid::make() + ".app");
    StagingMark mark(staged);
    const auto dropStaged = [&] {
        std::error_code ignored;
        fs::remove_all(staged, ignored);
    };
    // Runs `steps`; when they fail, runs `undo` and shows the failure (false).
    const auto guarded = [&](const auto& steps, const auto& undo) {
        try {
            steps();
            return true;
        } catch (const StoreCalls::Cancelled&) {
            undo();
            throw;
        } catch (...) {
            std::string text = describeCurrentError();
            undo();
            fail(std::move(text));
            return false;
        }
    };
    const bool copied = guarded(
        [&] {
            call.onMain([&] { phase = Phase::verifying(); });
            mountPoint = attachImage(image);
            const fs::path app = findApp(mountPoint);
            verify(app);
            call.onMain([&] { phase = Phase::installing(); });
            stageCopy(app, staged);
        },
        tidy);
    if (!copied) return;
    tidy();
    // The copy, not only the image, is what the swap puts in place.
    if (!guarded([&] { verify(staged); }, dropStaged)) return;
    Log::line("[Kavri] update: build " + std::to_string(offer.build) + " checked and staged; handing over to the swap");

    std::optional<std::string> handOverError;
    call.onMain([&] {
        try {
            swapAndRelaunch(staged);
            mark.keep();
        } catch (...) {
            handOverError = describeCurrentError();
        }
    });
    if (handOverError) fail(*handOverError);
}

fs::path MacUpdater::download(const std::string& url, StoreCalls::Call& call) {
    call.onMain([&] { phase = Phase::downloading(0); });
    const fs::path destination = deps_.temporaryDirectory / ("kavri-update-" + Uuid::make() + ".dmg");
    std::error_code ignored;
    fs::remove(destination, ignored);

    std::ofstream out(destination, std::ios::binary | std::ios::trunc);
    if (!out) throw fs::filesystem_error("cannot create the download", destination, std::make_error_code(std::errc::io_error));
    DownloadProgress progress;
    HttpRequest request;
    request.url = url;
    request.maxBodyBytes = static_cast<std::size_t>(deps_.maxImageBytes);
    request.bodySink = [&](std::string_view bytes) { return static_cast<bool>(out.write(bytes.data(), bytes.size())); };
    request.progress = [&, alive = std::weak_ptr<bool>(alive_)](std::int64_t written, std::int64_t expected) {
        if (const auto fraction = progress.next(written, expected)) {
            mainExecutor().post([this, alive, f = *fraction] {
                if (const auto live = alive.lock(); live && *live) phase = Phase::downloading(f);
            });
        }
    };
    try {
        const HttpResponse response = deps_.downloads.send(request, call.stopToken());
        out.close();
        if (response.status < 200 || response.status > 299) throw Failure(serverRefusedText);
        if (!out) throw fs::filesystem_error("cannot write the download", destination, std::make_error_code(std::errc::io_error));
    } catch (const HttpError& e) {
        out.close();
        fs::remove(destination, ignored);
        if (call.cancelled()) throw StoreCalls::Cancelled();
        if (e.curlCode() == CURLE_FILESIZE_EXCEEDED) throw Failure(notDownloadedText);
        throw;
    } catch (...) {
        out.close();
        fs::remove(destination, ignored);
        if (call.cancelled()) throw StoreCalls::Cancelled();
        throw;
    }
    return destination;
}

fs::path MacUpdater::attachImage(const fs::path& image) {
    const fs::path mountPoint = deps_.temporaryDirectory / ("kavri-mount-" + Uuid::make());
    fs::create_directories(mountPoint);
    const auto result = run(deps_.tools.hdiutil, {"attach", image.string(), "-nobrowse", "-readonly", "-mountpoint",
                                                 mountPoint.string()});
    if (result.status != 0) {
        std::error_code ignored;
        fs::remove(mountPoint, ignored);  // only while it is empty
        throw Failure(cannotOpenText);
    }
    return mountPoint;
}

void MacUpdater::detach(const fs::path& mountPoint) { run(deps_.tools.hdiutil, {"detach", mountPoint.string(), "-quiet"}); }

fs::path MacUpdater::findApp(const fs::path& mountPoint) {
    std::error_code ec;
    for (fs::directory_iterator it(mountPoint, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().ends_with(".app")) return it->path();
    }
    throw Failure(noAppText);
}

bool MacUpdater::namesTeam(const std::string& description, const std::string& team) {
    static const std::string key = "TeamIdentifier=";
    std::istringstream lines(description);
    std::optional<std::string> named;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(key)) continue;
        if (named) return false;  // a second one: the description cannot be trusted
        named = line.substr(key.size());
    }
    return named && !team.empty() && *named == team;
}

void MacUpdater::verify(const fs::path& app) {
    if (run(deps_.tools.codesign, {"--verify", "--deep", "--strict", app.string()}).status != 0)
        throw Failure(signatureBrokenText);
    // The description stands on standard error; a description the tool did
    // not finish is none, whatever lines it printed.
    const auto description = run(deps_.tools.codesign, {"-dv", "--verbose=4", app.string()}, true);
    if (description.status != 0 || !namesTeam(description.output, deps_.teamIdentifier)) throw Failure(notOursText);
    if (run(deps_.tools.spctl, {"-a", "-t", "exec", "-vv", app.string()}).status != 0) throw Failure(assessmentText);
    const auto build = bundleBuild(app);
    if (!build) throw Failure(noVersionText);
    if (*build <= deps_.currentBuild)
        throw Failure("На раздаче версия " + std::to_string(*build) + ", у вас уже " + std::to_string(deps_.currentBuild));
}

std::optional<std::int64_t> MacUpdater::bundleBuild(const fs::path& app) {
    std::ifstream in(AppBundle::infoPlist(app), std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto plist = PropertyList::decode(bytes);
    if (!plist) return std::nullopt;
    const auto* dict = plist->get<PlistValue::Dict>();
    if (!dict) return std::nullopt;
    const auto it = dict->find("CFBundleVersion");
    if (it == dict->end() || !it->second.is<std::string>()) return std::nullopt;
    return Decimal::int64(*it->second.get<std::string>());
}

void MacUpdater::stageCopy(const fs::path& app, const fs::path& staged) {
    std::error_code ignored;
    fs::remove_all(staged, ignored);
    try {
        copyTree(app, staged);
    } catch (...) {
        fs::remove_all(staged, ignored);
        throw;
    }
    run(deps_.tools.xattr, {"-dr", "com.apple.quarantine", staged.string()});
}

MacUpdater::ToolResult MacUpdater::run(const std::string& tool, const std::vector<std::string>& arguments,
                                       bool errorOnly) const {
    auto result = ProcessRunner::run(tool, arguments, {{CodeSignature::rootsVariable, deps_.codeSigningRoots}},
                                     errorOnly ? ProcessRunner::Collect::errorOnly
                                               : ProcessRunner::Collect::outputAndError);
    if (!Utf8::isValid(result.output)) result.output.clear();
    return {result.status, std::move(result.output)};
}

void MacUpdater::cleanupLeftovers() { cleanupLeftovers(AppBundle::mainBundlePath()); }

void MacUpdater::cleanupLeftovers(const fs::path& bundle) {
    const fs::path folder = bundle.parent_path();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return;
    // Held throughout, so that no attempt's copy is marked or unmarked
    // between the look and the removal.
    std::lock_guard lock(stagingMutex);
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (staging.count(name)) continue;
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

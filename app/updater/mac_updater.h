#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

#include "api/app_update_info.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "platform/http/http_session.h"

namespace kavri {

// Installs a newer build of the app from a signed disk image: downloads the
// image an offer points to, attaches it read-only, checks the app inside it
// (code signature, the signer's team, the system's assessment, a strictly
// newer build), copies it next to the running bundle and hands over to the
// swap. A running bundle is never replaced in place: the staged copy is
// swapped in by a small script that waits for this process to end, moves the
// old bundle aside, moves the new one into its place, starts it, and puts
// things back if a move fails. Every step runs the system's tools, found
// through the table of tool paths.
class MacUpdater : public ObservableStore {
public:
    struct Phase {
        enum class Kind {
            idle,         // nothing under way
            downloading,  // the image is coming; fraction of its bytes
            verifying,    // downloaded; attaching and checking
            installing,   // checks passed; copying and handing over
            failed,       // the attempt ended; text for the user
        };
        Kind kind = Kind::idle;
        double fraction = 0;  // downloading only
        std::string text;     // failed only

        static Phase downloading(double fraction) { return {Kind::downloading, fraction, {}}; }
        static Phase verifying() { return {Kind::verifying, 0, {}}; }
        static Phase installing() { return {Kind::installing, 0, {}}; }
        static Phase failed(std::string text) { return {Kind::failed, 0, std::move(text)}; }
        bool operator==(const Phase&) const = default;
    };

    // The system tools the updater runs, by path.
    struct Tools {
        std::string hdiutil;
        std::string codesign;
        std::string spctl;
        std::string xattr;

        // The stand-ins a bundle carries in Contents/Helpers.
        static Tools inBundle(const std::filesystem::path& bundle);
    };

    // An update failure with the text the user sees.
    class Failure : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    static constexpr const char* noAddressText = "Не удалось получить адрес обновления";
    static constexpr const char* serverRefusedText = "Сервер не отдал файл обновления";
    static constexpr const char* notDownloadedText = "Обновление не скачалось";
    static constexpr const char* cannotOpenText = "Не удалось открыть образ обновления";
    static constexpr const char* noAppText = "В образе нет приложения";
    static constexpr const char* signatureBrokenText = "Подпись обновления повреждена";
    static constexpr const char* notOursText = "Обновление подписано не нами";
    static constexpr const char* assessmentText = "Обновление не прошло проверку Apple";
    static constexpr const char* noVersionText = "Не удалось определить версию обновления";

    static constexpr std::uint64_t defaultMaxImageBytes = 256ull << 20;
    // The longest an image download may take, however steadily bytes come.
    static constexpr std::chrono::minutes downloadTimeLimit{30};

    struct Deps {
        // The running app's bundle.
        std::filesystem::path bundle;
        // Where the script is written.
        std::filesystem::path temporaryDirectory;
        // The process the script waits for.
        pid_t pid = 0;
        // Ends the running app after the delay.
        std::function<void(std::chrono::milliseconds)> terminateAfter;
        Tools tools;
        // The running app's build; an update must be greater.
        std::int64_t currentBuild = 0;
        // The team whose signature an update must carry, and the roots
        // (PEM file) its signer must chain to.
        std::string teamIdentifier;
        std::string codeSigningRoots;
        // Images are downloaded through it.
        HttpSession downloads;
        // A download longer than this ends as not downloaded; far above a
        // real image.
        std::uint64_t maxImageBytes = defaultMaxImageBytes;
    };

    // Paths of one swap.
    struct SwapPaths {
        std::filesystem::path current;   // the running bundle
        std::filesystem::path staged;    // the new one, next to it
        std::filesystem::path previous;  // where the old one is put aside
        pid_t pid = 0;
    };

    static constexpr const char* stagedPrefix = ".kavri-update-";
    static constexpr const char* previousPrefix = ".kavri-previous-";
    static constexpr std::chrono::milliseconds terminateDelay{300};

    // The running bundle, the system's temporary folder, this process, the
    // bundle's tools, the running build and the deployment's signer.
    static Deps systemDeps(std::function<void(std::chrono::milliseconds)> terminateAfter);

    MacUpdater(MainExecutor& main, Deps deps);
    ~MacUpdater() override;

    Published<Phase> phase{*this, "phase", Phase{}};

    // Main thread. Starts an attempt with the offer; every outcome reaches
    // `phase`. On success the app is asked to end and `phase` stays
    // installing. Destroying the updater cancels the attempt.
    void install(const AppUpdateInfo& offer);

    // The build an app bundle names in its Info.plist ("CFBundleVersion" as
    // a whole decimal number), or nothing.
    static std::optional<std::int64_t> bundleBuild(const std::filesystem::path& app);
    // Whether the description codesign gives names exactly this team: its one
    // "TeamIdentifier=" line, compared whole.
    static bool namesTeam(const std::string& description, const std::string& team);

    // Removes, next to the running bundle (or `bundle`), every entry whose
    // name begins with one of the two prefixes, but for the staged copy of
    // an attempt under way in this process. Never fails.
    static void cleanupLeftovers();
    static void cleanupLeftovers(const std::filesystem::path& bundle);

    // Writes the swap script for `staged` (0755), starts it with bash without
    // waiting and asks the app to end shortly after; install()'s last step.
    // Throws std::filesystem::filesystem_error or DetachedProcess::Error when
    // the script cannot be written or started; the app then keeps running.
    void swapAndRelaunch(const std::filesystem::path& staged);

    // The script's text; every path stands as one literal word.
    static std::string swapScript(const SwapPaths& paths);

private:
    // The attempt's steps, off the main thread; each throws Failure or the
    // error of the operation that failed.
    std::filesystem::path download(const std::string& url, StoreCalls::Call& call);
    std::filesystem::path attachImage(const std::filesystem::path& image);
    void detach(const std::filesystem::path& mountPoint);
    static std::filesystem::path findApp(const std::filesystem::path& mountPoint);
    void verify(const std::filesystem::path& app);
    // Copies the app to `staged` (a new path beside the running bundle).
    void stageCopy(const std::filesystem::path& app, const std::filesystem::path& staged);
    void attempt(const AppUpdateInfo& offer, StoreCalls::Call& call);
    struct ToolResult {
        int status = -1;
        std::string output;  // standard output and error (or error only); empty when not UTF-8
    };
    ToolResult run(const std::string& tool, const std::vector<std::string>& arguments, bool errorOnly = false) const;

    Deps deps_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    StoreCalls calls_;
};

}  // namespace kavri

#pragma once

#include <filesystem>

namespace kavri {

// The folder where this user's private files of the app live (the keychain
// items, pending notifications): KAVRI_DATA_DIR when set, else
// $XDG_DATA_HOME/kavri, else ~/.local/share/kavri.
class UserDataDirectory {
public:
    // Resolved from the environment on every call, so a test or a local run
    // can point it elsewhere before use.
    static std::filesystem::path path();
    // The folder of this user's configuration of the app (the VPN profile):
    // KAVRI_CONFIG_DIR when set, else $XDG_CONFIG_HOME/kavri, else
    // ~/.config/kavri. Resolved on every call, like path().
    static std::filesystem::path configPath();

    // The folder of this user's runtime files (the app's lock and socket):
    // $XDG_RUNTIME_DIR when it is an absolute path and isPrivate() holds for
    // it, else the folder "run" in path(), which is this user's own (and a
    // run's own when KAVRI_DATA_DIR points into it). Never a folder shared
    // with other users. Resolved on every call, like path().
    static std::filesystem::path runtimePath();

    // Creates `dir` and its missing parents with mode 0700. Returns false when
    // it does not exist afterwards.
    static bool ensure(const std::filesystem::path& dir);
    // Whether `dir` is a folder (not a link to one) that this user owns and
    // nobody else may enter (no permission bits for group or others).
    static bool isPrivate(const std::filesystem::path& dir);
    // ensure(), then isPrivate().
    static bool ensurePrivate(const std::filesystem::path& dir);
};

}  // namespace kavri

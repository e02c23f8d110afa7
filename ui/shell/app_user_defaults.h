#pragma once

#include <QString>

#include <string>

namespace kavri {

// The app's own per-user settings: "settings.ini" in the user's
// configuration folder (KAVRI_CONFIG_DIR moves it). Not the shared store.
class AppUserDefaults {
public:
    static constexpr const char* lastActiveState = "last_active_state";

    // "" when the key is unset.
    static std::string string(const char* key);
    static void setString(const char* key, const std::string& value);
    static QString filePath();
};

}  // namespace kavri

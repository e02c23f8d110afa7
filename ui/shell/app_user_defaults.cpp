#include "ui/shell/app_user_defaults.h"

#include <QSettings>

#include "platform/userdata/user_data_directory.h"

namespace kavri {

QString AppUserDefaults::filePath() {
    return QString::fromStdString((UserDataDirectory::configPath() / "settings.ini").string());
}

std::string AppUserDefaults::string(const char* key) {
    QSettings settings(filePath(), QSettings::IniFormat);
    return settings.value(key).toString().toStdString();
}

void AppUserDefaults::setString(const char* key, const std::string& value) {
    UserDataDirectory::ensure(UserDataDirectory::configPath());
    QSettings settings(filePath(), QSettings::IniFormat);
    settings.setValue(key, QString::fromStdString(value));
    settings.sync();
}

}  // namespace kavri

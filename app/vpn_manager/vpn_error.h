#pragma once

#include <stdexcept>
#include <string>

namespace kavri {

// Why the VPN manager refused a connect or a save; what() is the text the
// user sees.
class VPNError : public std::runtime_error {
public:
    enum class Kind { notConfigured, missingConfigContent, invalidConfig };

    explicit VPNError(Kind kind) : std::runtime_error(errorDescription(kind)), kind_(kind) {}
    Kind kind() const { return kind_; }

    static std::string errorDescription(Kind kind) {
        switch (kind) {
            case Kind::notConfigured:
                return "VPN ещё не настроен. Импортируйте ключ доступа в Каври.";
            case Kind::missingConfigContent:
                return "Конфигурация подписки не получена. Проверьте интернет.";
            case Kind::invalidConfig:
                return "Получен невалидный конфиг от сервера.";
        }
        return {};
    }

private:
    Kind kind_;
};

}  // namespace kavri

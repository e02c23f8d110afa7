#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "api/stack_api.h"
#include "ui/main/stack/protocol_screen_state.h"

namespace kavri {

// The protocol screen pushed from a location of the stack sheet: every
// protocol the service knows, those the location does not offer greyed, one
// chosen, and a button that connects with it. It keeps only the user's pick
// and the information alert; the sheet acts on the two callbacks.
class ProtocolScreenPresenter {
public:
    static constexpr const char* infoTitle = "Про протоколы";
    static constexpr const char* infoMessage =
        "Обычно подходит рекомендованный. Остальные — на случай, когда именно ваша сеть режет способ "
        "подключения: подписи под названиями подсказывают, когда что брать.";
    static constexpr const char* infoButton = "Понятно";

    struct Inputs {
        StackAPI::Catalog::Location location;
        std::vector<StackAPI::Catalog::Proto> protocols;  // the catalog's, in its order
        std::optional<std::string> selectedProtocol;
        std::optional<std::int64_t> pingMs;  // our own measurement of the location
    };

    ProtocolScreenPresenter(Inputs inputs, std::function<void(const std::string&)> onPick,
                            std::function<void(const std::string&)> onConnect);

    const ProtocolScreenState& state() const { return state_; }
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
    // The sheet drew again with newer values; the pick stays.
    void setInputs(Inputs inputs);

    void rowTapped(const std::string& key);
    void connectPressed();  // only while connect is enabled
    void infoPressed();
    void infoClosed();

    // The first of: the pick, the proposed key, the first offered protocol,
    // the first protocol, "reality".
    static std::string chosenProtocol(const Inputs& inputs, const std::optional<std::string>& picked);
    static std::string titleText(const Inputs& inputs);
    static ProtocolScreenState stateOf(const Inputs& inputs, const std::optional<std::string>& picked,
                                       bool showInfo);

private:
    void recompute();

    Inputs inputs_;
    std::function<void(const std::string&)> onPick_;
    std::function<void(const std::string&)> onConnect_;
    std::function<void()> onChange_;
    std::optional<std::string> picked_;
    bool showInfo_ = false;
    ProtocolScreenState state_;
};

}  // namespace kavri

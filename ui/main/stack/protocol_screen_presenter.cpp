#include "ui/main/stack/protocol_screen_presenter.h"

#include <algorithm>

#include "ui/main/stack/location_latency.h"

namespace kavri {

namespace {

bool offered(const StackAPI::Catalog::Location& location, const std::string& key) {
    return std::find(location.protocols.begin(), location.protocols.end(), key) != location.protocols.end();
}

}  // namespace

ProtocolScreenPresenter::ProtocolScreenPresenter(Inputs inputs, std::function<void(const std::string&)> onPick,
                                                 std::function<void(const std::string&)> onConnect)
    : inputs_(std::move(inputs)), onPick_(std::move(onPick)), onConnect_(std::move(onConnect)) {
    state_ = stateOf(inputs_, picked_, showInfo_);
}

std::string ProtocolScreenPresenter::chosenProtocol(const Inputs& inputs, const std::optional<std::string>& picked) {
    if (picked) return *picked;
    if (inputs.selectedProtocol) return *inputs.selectedProtocol;
    for (const auto& p : inputs.protocols)
        if (offered(inputs.location, p.key)) return p.key;
    if (!inputs.protocols.empty()) return inputs.protocols.front().key;
    return "reality";
}

std::string ProtocolScreenPresenter::titleText(const Inputs& inputs) {
    const auto& title = inputs.location.title;
    if (inputs.pingMs) return title + " · " + std::to_string(*inputs.pingMs) + " мс";
    if (auto estimate = LocationLatency::freshEstimate(inputs.location))
        return title + " · ~" + std::to_string(*estimate) + " мс";
    return title;
}

ProtocolScreenState ProtocolScreenPresenter::stateOf(const Inputs& inputs, const std::optional<std::string>& picked,
                                                     bool showInfo) {
    ProtocolScreenState s;
    s.locationId = inputs.location.id;
    s.titleText = titleText(inputs);
    s.chosenProtocol = chosenProtocol(inputs, picked);
    s.showInfo = showInfo;
    const std::string* lastKey = inputs.protocols.empty() ? nullptr : &inputs.protocols.back().key;
    for (const auto& p : inputs.protocols) {
        const bool here = offered(inputs.location, p.key);
        ProtocolScreenState::Row row;
        row.key = p.key;
        row.title = p.title;
        row.titleColor = here ? PaletteColor::text : PaletteColor::muted;
        if (p.badge && !p.badge->empty()) row.badge = p.badge;
        if (p.subtitle && !p.subtitle->empty()) row.secondLine = here ? *p.subtitle : "Нет на этой локации";
        row.chosen = p.key == s.chosenProtocol;
        row.markColor = row.chosen && here ? PaletteColor::accent : PaletteColor::muted;
        row.dividerAfter = p.key != *lastKey;
        s.rows.push_back(std::move(row));
    }
    const bool chosenOffered = offered(inputs.location, s.chosenProtocol);
    if (inputs.location.isOffline()) {
        s.buttonText = "Локация не в сети";
    } else if (chosenOffered) {
        s.buttonText = "Подключиться";
        s.buttonBlackText = true;
        s.buttonFill = PaletteColor::accent;
        s.connectEnabled = true;
    } else {
        s.buttonText = "Этого протокола здесь нет";
    }
    return s;
}

void ProtocolScreenPresenter::recompute() {
    auto s = stateOf(inputs_, picked_, showInfo_);
    if (s == state_) return;
    state_ = std::move(s);
    if (onChange_) onChange_();
}

void ProtocolScreenPresenter::setInputs(Inputs inputs) {
    inputs_ = std::move(inputs);
    recompute();
}

void ProtocolScreenPresenter::rowTapped(const std::string& key) {
    picked_ = key;
    recompute();
    if (onPick_) onPick_(key);
}

void ProtocolScreenPresenter::connectPressed() {
    if (!state_.connectEnabled) return;
    if (onConnect_) onConnect_(state_.chosenProtocol);
}

void ProtocolScreenPresenter::infoPressed() {
    showInfo_ = true;
    recompute();
}

void ProtocolScreenPresenter::infoClosed() {
    showInfo_ = false;
    recompute();
}

}  // namespace kavri

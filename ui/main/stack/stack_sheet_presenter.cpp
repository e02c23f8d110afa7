#include "ui/main/stack/stack_sheet_presenter.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "ui/main/stack/flag_emoji.h"

namespace kavri {

namespace {

const StackAPI::Catalog::Location* findLocation(const std::optional<StackAPI::Catalog>& catalog,
                                                const std::string& id) {
    if (!catalog) return nullptr;
    for (const auto& l : catalog->locations)
        if (l.id == id) return &l;
    return nullptr;
}

}  // namespace

StackSheetPresenter::StackSheetPresenter(MainExecutor& main, Deps deps)
    : main_(main), deps_(std::move(deps)), calls_(main) {
    holderSub_ = deps_.holder.subscribe([this](std::string_view) { recompute(); });
    pingerSub_ = deps_.pinger.subscribe([this](std::string_view) { recompute(); });
    recompute();
}

StackSheetPresenter::~StackSheetPresenter() {
    *alive_ = false;
    loop_.cancel();
    holderSub_.reset();
    pingerSub_.reset();
}

int StackSheetPresenter::nextIndex(int i, bool ok) {
    if (ok) return int(delaysSeconds.size()) - 1;
    return std::min(i, int(delaysSeconds.size()) - 2) + 1;
}

StackSheetState::LocationRow StackSheetPresenter::rowOf(const StackAPI::Catalog::Location& location,
                                                        bool manualAllowed, bool current,
                                                        std::optional<std::int64_t> measured) {
    using Trailing = StackSheetState::LocationRow::Trailing;
    StackSheetState::LocationRow row;
    const bool offline = location.isOffline();
    row.id = location.id;
    row.flag = flagEmoji(location.countryCode);
    row.title = location.title;
    row.titleColor = manualAllowed && !offline ? PaletteColor::text : PaletteColor::muted;
    row.offlinePill = offline;
    if (manualAllowed && !offline) row.latency = LocationLatency::of(location, measured);
    row.current = current;
    row.trailing = !manualAllowed ? Trailing::lock : offline ? Trailing::none : Trailing::chevron;
    return row;
}

ProtocolScreenPresenter::Inputs StackSheetPresenter::protocolInputs(
    const StackAPI::Catalog::Location& location) const {
    ProtocolScreenPresenter::Inputs inputs;
    inputs.location = location;
    if (const auto& catalog = deps_.holder.catalog.get()) inputs.protocols = catalog->protocols;
    const auto picked = pickedByLocation_.find(location.id);
    inputs.selectedProtocol = picked != pickedByLocation_.end() ? std::optional(picked->second)
                                                                : deps_.selectedProtocol;
    const auto& results = deps_.pinger.results.get();
    if (auto it = results.find(location.id); it != results.end()) inputs.pingMs = it->second;
    return inputs;
}

void StackSheetPresenter::recompute() {
    const auto& catalog = deps_.holder.catalog.get();
    const auto& results = deps_.pinger.results.get();
    StackSheetState s;
    if (catalog) {
        s.content = StackSheetState::Content::list;
        s.manualAllowed = catalog->manualAllowed;
        s.autoRow = {catalog->autoChoice.title, catalog->autoChoice.subtitle, !deps_.selectedLocation};
        for (const auto& location : catalog->locations) {
            const bool current = deps_.selectedLocation == location.id;
            std::optional<std::int64_t> measured;
            if (auto it = results.find(location.id); current && it != results.end()) measured = it->second;
            s.rows.push_back(rowOf(location, catalog->manualAllowed, current, measured));
        }
    } else {
        s.content = failedWithoutData_ ? StackSheetState::Content::failed : StackSheetState::Content::loading;
    }
    if (protocolScreen_) {
        // The pushed screen is drawn from the newest catalog and measurement.
        if (const auto* fresh = findLocation(catalog, pushedLocation_.id)) pushedLocation_ = *fresh;
        updatingScreen_ = true;
        protocolScreen_->setInputs(protocolInputs(pushedLocation_));
        updatingScreen_ = false;
        s.protocolScreen = protocolScreen_->state();
    }
    if (s == state_) return;
    state_ = std::move(s);
    if (onChange_) onChange_();
}

void StackSheetPresenter::appear() {
    loop_.cancel();
    loop_ = calls_.start([this](StoreCalls::Call& call) { loadLoop(call); });
}

void StackSheetPresenter::disappear() { loop_.cancel(); }

void StackSheetPresenter::loadLoop(StoreCalls::Call& call) {
    auto opening = std::make_shared<Opening>();
    opening->openedAt = deps_.clock.monoNow();
    call.onMain([&] { opening->readyReported = deps_.holder.catalog->has_value(); });
    int i = 0;
    for (;;) {
        const int pause = delaysSeconds[std::size_t(i)];
        if (pause > 0) deps_.clock.sleepFor(std::chrono::seconds(pause), call.stopToken());
        if (call.cancelled()) return;
        const bool ok = refreshFromLoop(call, i == 0 ? whyOpen : whyRetry, opening);
        if (call.cancelled()) return;
        i = nextIndex(i, ok);
    }
}

bool StackSheetPresenter::refreshFromLoop(StoreCalls::Call& call, const std::string& why,
                                          const std::shared_ptr<Opening>& opening) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable_any ended;
        std::optional<bool> ok;
    };
    auto outcome = std::make_shared<Outcome>();
    // The refresh's result is applied when it ends, also once the sheet has
    // closed: "sheet_ready" still goes out, and a sheet still there shows it.
    const auto done = [outcome, opening, track = deps_.track, &clock = deps_.clock,
                       alive = std::weak_ptr<bool>(alive_), this](bool ok) {
        if (ok && !opening->readyReported) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(clock.monoNow() - opening->openedAt);
            if (track) track(readyEvent, elapsed.count(), nullptr);
            opening->readyReported = true;
        }
        if (auto a = alive.lock(); a && *a) refreshEnded(ok);
        std::lock_guard lock(outcome->mutex);
        outcome->ok = ok;
        outcome->ended.notify_all();
    };
    call.onMain([&] {
        if (deps_.onRefresh) deps_.onRefresh(why, done);
        else done(false);
    });
    std::unique_lock lock(outcome->mutex);
    // The loop waits for the refresh under way; the sheet's end stops only the wait.
    outcome->ended.wait(lock, call.stopToken(), [&] { return outcome->ok.has_value(); });
    if (!outcome->ok) throw StoreCalls::Cancelled();
    return *outcome->ok;
}

void StackSheetPresenter::refreshEnded(bool ok) {
    failedWithoutData_ = !ok && !deps_.holder.catalog->has_value();
    recompute();
}

void StackSheetPresenter::retryClicked() {
    if (state_.content != StackSheetState::Content::failed) return;
    failedWithoutData_ = false;
    recompute();
    if (!deps_.onRefresh) return refreshEnded(false);
    // Runs to its end beside the load loop; whichever ends last sets the flag.
    deps_.onRefresh(whyManualRetry, [this, alive = std::weak_ptr<bool>(alive_)](bool ok) {
        if (auto a = alive.lock(); a && *a) refreshEnded(ok);
    });
}

void StackSheetPresenter::close() {
    // Closing ends this sheet, its view and the button being clicked: it
    // happens from the main thread's queue, not inside the click.
    auto closeSheet = deps_.onDismiss ? deps_.onDismiss : deps_.dismiss;
    if (closeSheet) main_.post(std::move(closeSheet));
}

void StackSheetPresenter::closeClicked() { close(); }

void StackSheetPresenter::autoRowClicked() {
    const auto& catalog = deps_.holder.catalog.get();
    if (!catalog) return;
    if (!catalog->manualAllowed) {
        if (deps_.onLocked) deps_.onLocked();
        return;
    }
    if (deps_.onApply) deps_.onApply(std::nullopt, std::nullopt);
    close();
}

void StackSheetPresenter::locationClicked(const std::string& id) {
    const auto& catalog = deps_.holder.catalog.get();
    const auto* location = findLocation(catalog, id);
    if (!location) return;
    if (!catalog->manualAllowed) {
        if (deps_.onLocked) deps_.onLocked();
        return;
    }
    pushedLocation_ = *location;
    protocolScreen_ = std::make_unique<ProtocolScreenPresenter>(
        protocolInputs(pushedLocation_),
        [this, id](const std::string& key) {
            pickedByLocation_[id] = key;
            recompute();
        },
        [this, id](const std::string& key) {
            if (deps_.onApply) deps_.onApply(id, key);
            close();
        });
    protocolScreen_->setOnChange([this] {
        if (!updatingScreen_) recompute();
    });
    recompute();
}

void StackSheetPresenter::backClicked() {
    protocolScreen_.reset();
    recompute();
}

}  // namespace kavri

#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "api/stack_api.h"
#include "app/runtime/main_executor.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "app/stack/catalog_holder.h"
#include "app/stack/stack_pinger.h"
#include "platform/runtime/clock.h"
#include "ui/main/stack/protocol_screen_presenter.h"
#include "ui/main/stack/stack_sheet_state.h"

namespace kavri {

// The location picker of the main window: the automatic choice and every
// location of the catalog with its flag, latency and state. A location opens
// its protocol screen; a choice there, or the automatic row, goes to
// `onApply` and the sheet closes; when the plan allows no choice by hand,
// every choice goes to `onLocked`. While shown, a load loop asks for fresh
// catalogs: at once, then after 1, 2, 4, 8 and 15 s while they fail, and
// every 15 s once one came. It never calls the backend nor probes itself.
// Main thread only; one presenter per opening of the sheet.
class StackSheetPresenter {
public:
    // The pauses before each attempt of the load loop, in seconds.
    static constexpr std::array<int, 6> delaysSeconds{0, 1, 2, 4, 8, 15};
    static constexpr const char* whyOpen = "sheet_open";
    static constexpr const char* whyRetry = "sheet_retry";
    static constexpr const char* whyManualRetry = "sheet_manual_retry";
    static constexpr const char* readyEvent = "sheet_ready";

    // Starts a refresh of the catalog with a why-string (main thread);
    // `done` gets true on the main thread when a fresh catalog came.
    using Refresh = std::function<StoreCalls::Handle(std::string why, std::function<void(bool)> done)>;
    // A location id and a protocol key, or both absent for the automatic choice.
    using Apply = std::function<void(const std::optional<std::string>& location,
                                     const std::optional<std::string>& protocol)>;

    struct Deps {
        CatalogHolder& holder;
        Refresh onRefresh;
        std::optional<std::string> selectedLocation;  // none: the automatic choice is current
        std::optional<std::string> selectedProtocol;
        StackPinger& pinger;
        Apply onApply;
        std::function<void()> onLocked;
        std::function<void()> dismiss;    // closes the sheet when onDismiss is absent
        std::function<void()> onDismiss;  // closes the sheet
        CatalogHolder::Track track;       // "sheet_ready"
        Clock& clock = Clock::system();
    };

    StackSheetPresenter(MainExecutor& main, Deps deps);
    ~StackSheetPresenter();
    StackSheetPresenter(const StackSheetPresenter&) = delete;
    StackSheetPresenter& operator=(const StackSheetPresenter&) = delete;

    const StackSheetState& state() const { return state_; }
    // Called on the main thread whenever state() changed.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // The sheet came on screen (starts the load loop) or left it (ends it).
    void appear();
    void disappear();

    // The user's actions. Those that close the sheet close it just after,
    // from the main thread's queue.
    void closeClicked();
    void autoRowClicked();
    void locationClicked(const std::string& id);
    void retryClicked();  // "Повторить"
    // The pushed protocol screen, while there is one, and going back from it.
    ProtocolScreenPresenter* protocolScreen() { return protocolScreen_.get(); }
    void backClicked();

    // The attempt index after an attempt with index `i` that did (not) succeed.
    static int nextIndex(int i, bool ok);
    // A location's row: `current` when it is the user's choice, `measured`
    // our own measurement when the row may show one.
    static StackSheetState::LocationRow rowOf(const StackAPI::Catalog::Location& location, bool manualAllowed,
                                              bool current, std::optional<std::int64_t> measured);

private:
    void recompute();
    // One opening's load loop: when it began and whether "sheet_ready" went
    // out. Main thread only; it outlives the sheet while a refresh runs.
    struct Opening {
        Clock::MonoTime openedAt;
        bool readyReported = false;
    };
    void loadLoop(StoreCalls::Call& call);
    // One refresh of the loop, waited for off the main thread; its result is
    // applied on the main thread when it ends, even after the sheet closed.
    bool refreshFromLoop(StoreCalls::Call& call, const std::string& why, const std::shared_ptr<Opening>& opening);
    void refreshEnded(bool ok);
    void close();
    ProtocolScreenPresenter::Inputs protocolInputs(const StackAPI::Catalog::Location& location) const;

    MainExecutor& main_;
    Deps deps_;
    std::function<void()> onChange_;
    StackSheetState state_;
    std::map<std::string, std::string> pickedByLocation_;
    bool failedWithoutData_ = false;
    std::unique_ptr<ProtocolScreenPresenter> protocolScreen_;
    StackAPI::Catalog::Location pushedLocation_;  // the pushed screen's, as last seen
    bool updatingScreen_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // main thread only
    ObservableStore::Subscription holderSub_, pingerSub_;
    StoreCalls::Handle loop_;
    StoreCalls calls_;  // last: its calls end before what they use goes
};

}  // namespace kavri

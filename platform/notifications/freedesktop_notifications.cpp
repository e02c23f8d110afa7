#include "platform/notifications/freedesktop_notifications.h"

#include "platform/notifications/sd_bus_library.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kAppName = "Kavri";

// Owns one bus connection and one message for the length of a call.
struct Call {
    const SdBusLibrary& lib;
    sd_bus* bus = nullptr;
    sd_bus_message* message = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;

    ~Call() {
        if (reply) lib.message_unref(reply);
        if (message) lib.message_unref(message);
        if (bus) lib.flush_close_unref(bus);
        lib.error_free(&error);
    }
};

int openBus(const SdBusLibrary& lib, const std::string& address, sd_bus** bus) {
    if (address.empty()) return lib.open_user(bus);
    int r = lib.new_bus(bus);
    if (r < 0) return r;
    if ((r = lib.set_address(*bus, address.c_str())) < 0) return r;
    if ((r = lib.set_bus_client(*bus, 1)) < 0) return r;
    return lib.start(*bus);
}

int appendHint(const SdBusLibrary& lib, sd_bus_message* m, const char* key, const char* type,
               const void* value) {
    int r = lib.message_open_container(m, 'e', "sv");
    if (r >= 0) r = lib.message_append(m, "s", key);
    if (r >= 0) r = lib.message_open_container(m, 'v', type);
    if (r >= 0) {
        if (type[0] == 's') r = lib.message_append(m, "s", static_cast<const char*>(value));
        else r = lib.message_append(m, "b", *static_cast<const int*>(value));
    }
    if (r >= 0) r = lib.message_close_container(m);
    if (r >= 0) r = lib.message_close_container(m);
    return r;
}

}  // namespace

FreedesktopNotifications::FreedesktopNotifications(std::string busAddress,
                                                   std::chrono::milliseconds callTimeout)
    : busAddress_(std::move(busAddress)), callTimeout_(callTimeout) {}

void FreedesktopNotifications::present(const NotificationRequest& request) {
    if (!notify(request)) Log::line(logLine(request));
}

std::string FreedesktopNotifications::logLine(const NotificationRequest& request) {
    std::string line = "[Kavri] notification " + request.identifier + ": ";
    if (request.content.title && !request.content.title->empty()) line += *request.content.title + " — ";
    return line + request.content.body;
}

bool FreedesktopNotifications::notify(const NotificationRequest& request) {
    const SdBusLibrary* lib = SdBusLibrary::get();
    if (!lib) return false;
    std::lock_guard lock(mutex_);
    Call call{*lib};
    if (openBus(*lib, busAddress_, &call.bus) < 0) return false;
    int r = lib->message_new_method_call(call.bus, &call.message, kService, kPath, kService, "Notify");
    if (r < 0) return false;
    const auto previous = shown_.find(request.identifier);
    const std::uint32_t replaces = previous == shown_.end() ? 0 : previous->second;
    const NotificationContent& c = request.content;
    const std::string summary = c.title && !c.title->empty() ? *c.title : kAppName;
    r = lib->message_append(call.message, "susss", kAppName, replaces, "", summary.c_str(), c.body.c_str());
    if (r >= 0) r = lib->message_append(call.message, "as", 0);
    if (r >= 0) r = lib->message_open_container(call.message, 'a', "{sv}");
    if (r >= 0 && !c.defaultSound) {
        const int yes = 1;
        r = appendHint(*lib, call.message, "suppress-sound", "b", &yes);
    }
    if (r >= 0 && !c.categoryIdentifier.empty()) {
        r = appendHint(*lib, call.message, "x-kavri-category", "s", c.categoryIdentifier.c_str());
    }
    for (const auto& [key, value] : c.userInfo) {
        if (r < 0) break;
        const std::string hint = "x-kavri-" + key;
        r = appendHint(*lib, call.message, hint.c_str(), "s", value.c_str());
    }
    if (r >= 0) r = lib->message_close_container(call.message);
    if (r >= 0) r = lib->message_append(call.message, "i", -1);
    if (r < 0) return false;
    const auto usec = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(callTimeout_).count());
    if (lib->call(call.bus, call.message, usec, &call.error, &call.reply) < 0) return false;
    std::uint32_t id = 0;
    if (lib->message_read(call.reply, "u", &id) < 0) return false;
    shown_[request.identifier] = id;
    return true;
}

}  // namespace kavri

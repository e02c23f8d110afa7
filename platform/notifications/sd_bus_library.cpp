#include "platform/notifications/sd_bus_library.h"

#include <dlfcn.h>

namespace kavri {
namespace {

template <class F>
bool bind(void* handle, const char* name, F& fn) {
    fn = reinterpret_cast<F>(::dlsym(handle, name));
    return fn != nullptr;
}

const SdBusLibrary* load() {
    void* h = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!h) return nullptr;
    static SdBusLibrary lib;
    const bool ok = bind(h, "sd_bus_open_user", lib.open_user) && bind(h, "sd_bus_new", lib.new_bus) &&
                    bind(h, "sd_bus_set_address", lib.set_address) &&
                    bind(h, "sd_bus_set_bus_client", lib.set_bus_client) &&
                    bind(h, "sd_bus_start", lib.start) &&
                    bind(h, "sd_bus_flush_close_unref", lib.flush_close_unref) &&
                    bind(h, "sd_bus_message_new_method_call", lib.message_new_method_call) &&
                    bind(h, "sd_bus_message_append", lib.message_append) &&
                    bind(h, "sd_bus_message_open_container", lib.message_open_container) &&
                    bind(h, "sd_bus_message_close_container", lib.message_close_container) &&
                    bind(h, "sd_bus_message_enter_container", lib.message_enter_container) &&
                    bind(h, "sd_bus_message_exit_container", lib.message_exit_container) &&
                    bind(h, "sd_bus_message_read", lib.message_read) &&
                    bind(h, "sd_bus_message_read_basic", lib.message_read_basic) &&
                    bind(h, "sd_bus_message_peek_type", lib.message_peek_type) &&
                    bind(h, "sd_bus_message_skip", lib.message_skip) &&
                    bind(h, "sd_bus_message_unref", lib.message_unref) && bind(h, "sd_bus_call", lib.call) &&
                    bind(h, "sd_bus_error_free", lib.error_free) &&
                    bind(h, "sd_bus_request_name", lib.request_name) &&
                    bind(h, "sd_bus_add_filter", lib.add_filter) &&
                    bind(h, "sd_bus_message_is_method_call", lib.message_is_method_call) &&
                    bind(h, "sd_bus_slot_unref", lib.slot_unref) && bind(h, "sd_bus_process", lib.process) &&
                    bind(h, "sd_bus_wait", lib.wait) &&
                    bind(h, "sd_bus_reply_method_return", lib.reply_method_return);
    // The library stays loaded for the life of the process.
    return ok ? &lib : nullptr;
}

}  // namespace

const SdBusLibrary* SdBusLibrary::get() {
    static const SdBusLibrary* lib = load();
    return lib;
}

}  // namespace kavri

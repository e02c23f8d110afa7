#pragma once

#include <systemd/sd-bus.h>

namespace kavri {

// The sd-bus functions of libsystemd, loaded when first asked for. The
// library is opened at run time so that a machine without it (a bare server)
// still runs the programs: notifications are then only logged.
struct SdBusLibrary {
    decltype(&::sd_bus_open_user) open_user;
    decltype(&::sd_bus_new) new_bus;
    decltype(&::sd_bus_set_address) set_address;
    decltype(&::sd_bus_set_bus_client) set_bus_client;
    decltype(&::sd_bus_start) start;
    decltype(&::sd_bus_flush_close_unref) flush_close_unref;
    decltype(&::sd_bus_message_new_method_call) message_new_method_call;
    decltype(&::sd_bus_message_append) message_append;
    decltype(&::sd_bus_message_open_container) message_open_container;
    decltype(&::sd_bus_message_close_container) message_close_container;
    decltype(&::sd_bus_message_enter_container) message_enter_container;
    decltype(&::sd_bus_message_exit_container) message_exit_container;
    decltype(&::sd_bus_message_read) message_read;
    decltype(&::sd_bus_message_read_basic) message_read_basic;
    decltype(&::sd_bus_message_peek_type) message_peek_type;
    decltype(&::sd_bus_message_skip) message_skip;
    decltype(&::sd_bus_message_unref) message_unref;
    decltype(&::sd_bus_call) call;
    decltype(&::sd_bus_error_free) error_free;
    decltype(&::sd_bus_request_name) request_name;
    decltype(&::sd_bus_add_filter) add_filter;
    decltype(&::sd_bus_message_is_method_call) message_is_method_call;
    decltype(&::sd_bus_slot_unref) slot_unref;
    decltype(&::sd_bus_process) process;
    decltype(&::sd_bus_wait) wait;
    decltype(&::sd_bus_reply_method_return) reply_method_return;

    // The loaded functions, or nullptr when libsystemd or one of them is
    // missing.
    static const SdBusLibrary* get();
};

}  // namespace kavri

#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace quorvantile {

// The part of libsystemd's sd-bus that the BlueZ source uses, loaded on the first accessory request
// instead of linked: a link would map libsystemd and the compression and crypto libraries it needs
// into every server start, though most requests never touch the bus.
struct SdBus {
    decltype(&::sd_bus_new) busNew = nullptr;
    decltype(&::sd_bus_set_address) setAddress = nullptr;
    decltype(&::sd_bus_set_bus_client) setBusClient = nullptr;
    decltype(&::sd_bus_negotiate_fds) negotiateFds = nullptr;
    decltype(&::sd_bus_start) start = nullptr;
    decltype(&::sd_bus_close) close = nullptr;
    decltype(&::sd_bus_unref) unref = nullptr;
    decltype(&::sd_bus_process) process = nullptr;
    decltype(&::sd_bus_wait) wait = nullptr;
    decltype(&::sd_bus_call_async) callAsync = nullptr;
    decltype(&::sd_bus_match_signal_async) matchSignalAsync = nullptr;
    decltype(&::sd_bus_slot_unref) slotUnref = nullptr;
    decltype(&::sd_bus_message_new_method_call) newMethodCall = nullptr;
    decltype(&::sd_bus_message_set_auto_start) setAutoStart = nullptr;
    decltype(&::sd_bus_message_unref) messageUnref = nullptr;
    decltype(&::sd_bus_message_is_method_error) isMethodError = nullptr;
    decltype(&::sd_bus_message_is_signal) isSignal = nullptr;
    decltype(&::sd_bus_message_get_error) getError = nullptr;
    decltype(&::sd_bus_message_get_errno) getErrno = nullptr;
    decltype(&::sd_bus_message_has_signature) hasSignature = nullptr;
    decltype(&::sd_bus_message_enter_container) enterContainer = nullptr;
    decltype(&::sd_bus_message_exit_container) exitContainer = nullptr;
    decltype(&::sd_bus_message_read_basic) readBasic = nullptr;
    decltype(&::sd_bus_message_peek_type) peekType = nullptr;
    decltype(&::sd_bus_message_skip) skip = nullptr;
};

// The functions, loaded once per process and kept loaded; null when libsystemd cannot be loaded,
// with the loader's message in `reason`.
[[nodiscard]] const SdBus* sdBus(std::string& reason);

// Owners of what sd-bus hands out, releasing it through the loaded functions.
struct SdBusCloser {
    const SdBus* library = nullptr;
    // Closes without flushing, which could wait for a stalled peer without end.
    void operator()(sd_bus* bus) const
    {
        library->close(bus);
        library->unref(bus);
    }
};
struct SdBusSlotUnref {
    const SdBus* library = nullptr;
    void operator()(sd_bus_slot* slot) const { library->slotUnref(slot); }
};
struct SdBusMessageUnref {
    const SdBus* library = nullptr;
    void operator()(sd_bus_message* message) const { library->messageUnref(message); }
};
using SdBusConnection = std::unique_ptr<sd_bus, SdBusCloser>;
using SdBusSlot = std::unique_ptr<sd_bus_slot, SdBusSlotUnref>;
using SdBusMessage = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;

} // namespace quorvantile

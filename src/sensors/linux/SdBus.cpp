#include "sensors/linux/SdBus.h"

#include <dlfcn.h>

#include <optional>

namespace quorvantile {
namespace {

constexpr const char* kLibraryName = "libsystemd.so.0";

struct Loaded {
    std::optional<SdBus> functions;
    std::string reason;
};

template<typename Function> bool bind(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

Loaded load()
{
    // Never closed: the library's own state must outlive every object it gave out.
    void* library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* message = dlerror();
        return {std::nullopt, message != nullptr ? message : kLibraryName};
    }
    SdBus bus;
    const bool bound = bind(library, "sd_bus_new", bus.busNew) && bind(library, "sd_bus_set_address", bus.setAddress) &&
        bind(library, "sd_bus_set_bus_client", bus.setBusClient) &&
        bind(library, "sd_bus_negotiate_fds", bus.negotiateFds) && bind(library, "sd_bus_start", bus.start) &&
        bind(library, "sd_bus_close", bus.close) && bind(library, "sd_bus_unref", bus.unref) &&
        bind(library, "sd_bus_process", bus.process) && bind(library, "sd_bus_wait", bus.wait) &&
        bind(library, "sd_bus_call_async", bus.callAsync) &&
        bind(library, "sd_bus_match_signal_async", bus.matchSignalAsync) &&
        bind(library, "sd_bus_slot_unref", bus.slotUnref) &&
        bind(library, "sd_bus_message_new_method_call", bus.newMethodCall) &&
        bind(library, "sd_bus_message_set_auto_start", bus.setAutoStart) &&
        bind(library, "sd_bus_message_unref", bus.messageUnref) &&
        bind(library, "sd_bus_message_is_method_error", bus.isMethodError) &&
        bind(library, "sd_bus_message_is_signal", bus.isSignal) &&
        bind(library, "sd_bus_message_get_error", bus.getError) &&
        bind(library, "sd_bus_message_get_errno", bus.getErrno) &&
        bind(library, "sd_bus_message_has_signature", bus.hasSignature) &&
        bind(library, "sd_bus_message_enter_container", bus.enterContainer) &&
        bind(library, "sd_bus_message_exit_container", bus.exitContainer) &&
        bind(library, "sd_bus_message_read_basic", bus.readBasic) &&
        bind(library, "sd_bus_message_peek_type", bus.peekType) && bind(library, "sd_bus_message_skip", bus.skip);
    if (!bound) {
        return {std::nullopt, std::string(kLibraryName) + " lacks a function of sd-bus"};
    }
    return {bus, {}};
}

} // namespace

const SdBus* sdBus(std::string& reason)
{
    static const Loaded loaded = load();
    if (!loaded.functions) {
        reason = loaded.reason;
        return nullptr;
    }
    return &*loaded.functions;
}

} // namespace quorvantile

#pragma once

#include "common/Clock.h"
#include "sensors/Registry.h"
#include "sensors/linux/BluezDevices.h"
#include "sensors/linux/SdBus.h"

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvantile {

// BlueZ gets this long to answer, and its answer is read within it too.
inline constexpr double kBluezAnswerSeconds = 0.1;
// What the walk and the reply still need after BlueZ, within the connection's deadline.
inline constexpr double kBluezReserveSeconds = 0.05;
// Objects of BlueZ's reply examined at most. A machine has a few per device (GATT services and
// characteristics among them), so this is dozens of devices; the rest of a longer reply is not read.
inline constexpr std::size_t kMaximumBluezObjectsExamined = 4096;
// Messages read after the reply when the walk asks whether BlueZ's devices changed; more than this
// many waiting tells that something is changing.
inline constexpr std::size_t kMaximumBluezMessagesAfterReply = 256;

// One look at BlueZ on the system bus: a GetManagedObjects call on org.bluez at "/" (not starting
// BlueZ when it does not run), read into devices with a battery, and a watch for devices coming
// and going from the reply until this ends. The bus is asked nothing else and nothing is changed
// on it: the watch is a match rule of this connection, gone with it.
//
// The reply is bounded by the system bus's message limit (dbus-daemon's default is 32 MiB) and by
// time: sending, waiting and reading all end at the deadline. Of it, at most
// kMaximumBluezObjectsExamined objects are read, and of those only the properties the devices need.
class BluezQuery {
public:
    // Connects and sends the call without waiting. `listedAddresses`: devices listed from
    // power_supply already. Everything must be done by `deadline` (uptime seconds on `clock`) less
    // the reserve, and within kBluezAnswerSeconds. `maximumObjects` is smaller only in tests.
    BluezQuery(const std::string& address, std::set<std::string> listedAddresses, double deadline, const Clock& clock,
        std::size_t maximumObjects = kMaximumBluezObjectsExamined);
    ~BluezQuery();
    BluezQuery(const BluezQuery&) = delete;
    BluezQuery& operator=(const BluezQuery&) = delete;

    // The devices with a battery, waiting for the reply on the first call; none when BlueZ could
    // not be read (see notes()).
    [[nodiscard]] const std::vector<bluez::BluezBattery>& batteries();
    // False when a device with a battery came or went after the reply, or that cannot be told.
    [[nodiscard]] bool unchanged();
    // Why BlueZ contributed less than it has, if it did.
    [[nodiscard]] std::vector<RegistryNote> notes() const;

private:
    static int onReply(sd_bus_message* reply, void* self, sd_bus_error* error);
    static int onSignal(sd_bus_message* signal, void* self, sd_bus_error* error);
    static int onMatchInstalled(sd_bus_message* reply, void* self, sd_bus_error* error);

    void fail(std::string reason, bool devicesMissing);
    void receiveReply(sd_bus_message* reply);
    void receiveSignal(sd_bus_message* signal);
    [[nodiscard]] std::string budgetText() const;

    const Clock& clock_;
    std::size_t maximumObjects_;
    double started_ = 0;
    double deadline_ = 0;
    bluez::BluezDevices devices_;
    const SdBus* library_ = nullptr;
    SdBusConnection bus_;
    SdBusSlot match_;
    SdBusSlot call_;
    enum class Match { pending, installed, failed };
    Match matchState_ = Match::pending;
    bool replied_ = false;
    bool signalUnreadable_ = false;
    std::optional<RegistryNote> failure_;
    std::optional<RegistryNote> cut_;
};

} // namespace quorvantile

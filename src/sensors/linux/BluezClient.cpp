#include "sensors/linux/BluezClient.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace quorvantile {
namespace {

using bluez::BusProperties;
using bluez::BusValue;

constexpr const char* kBluezName = "org.bluez";
constexpr const char* kBluezManagerPath = "/";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kReplySignature = "a{oa{sa{sv}}}";

std::string errorText(int negativeErrno) { return std::strerror(-negativeErrno); }

// Only local sockets: sd-bus would also start a program for a "unixexec:" address, or reach into a
// container, and a sensor server must do neither.
bool isLocalSocketAddress(std::string_view address)
{
    while (!address.empty()) {
        const std::size_t end = address.find(';');
        if (!address.substr(0, end).starts_with("unix:")) {
            return false;
        }
        address.remove_prefix(end == std::string_view::npos ? address.size() : end + 1);
    }
    return true;
}

// sd-bus takes a relative timeout in microseconds, where 0 would mean its own default of 25 s.
std::uint64_t microseconds(double seconds)
{
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(std::max(seconds, 0.0) * 1e6)));
}

// Reads one message. The first failure sticks: every later step gives nothing, and ok() tells.
class MessageReader {
public:
    MessageReader(const SdBus& library, sd_bus_message* message) : library_(library), message_(message) { }

    [[nodiscard]] bool ok() const { return ok_; }

    // True when a container was entered; false at the end of the enclosing one or after a failure.
    bool enter(char type, const char* contents)
    {
        return ok_ && check(library_.enterContainer(message_, type, contents)) > 0;
    }
    void exit()
    {
        if (ok_) {
            check(library_.exitContainer(message_));
        }
    }
    void skip(const char* types)
    {
        if (ok_) {
            check(library_.skip(message_, types));
        }
    }
    // The next string of `type` ('s' or 'o'), at most `limit` bytes of it; absent at the end of
    // the enclosing container or after a failure.
    std::optional<std::string> nextText(char type = 's', std::size_t limit = std::string::npos)
    {
        const char* value = nullptr;
        if (!ok_ || check(library_.readBasic(message_, type, static_cast<void*>(&value))) <= 0 || value == nullptr) {
            return std::nullopt;
        }
        return std::string(std::string_view(value).substr(0, limit));
    }
    // A string that must be there.
    std::string text(char type = 's', std::size_t limit = std::string::npos)
    {
        auto value = nextText(type, limit);
        ok_ = ok_ && value.has_value();
        return value.value_or(std::string());
    }
    std::uint8_t byte()
    {
        std::uint8_t value = 0;
        ok_ = ok_ && check(library_.readBasic(message_, 'y', static_cast<void*>(&value))) > 0;
        return value;
    }
    // The signature of the variant that comes next.
    std::string variantContents()
    {
        char type = 0;
        const char* contents = nullptr;
        ok_ = ok_ && check(library_.peekType(message_, &type, &contents)) > 0 && type == 'v' && contents != nullptr;
        return ok_ ? std::string(contents) : std::string();
    }

private:
    int check(int result)
    {
        ok_ = ok_ && result >= 0;
        return result;
    }

    const SdBus& library_;
    sd_bus_message* message_;
    bool ok_ = true;
};

// A property's value: the types BlueZ uses for the properties read here, any other as OtherType.
BusValue readValue(MessageReader& in)
{
    const std::string contents = in.variantContents();
    BusValue value = bluez::OtherType {};
    if (contents == "y" && in.enter('v', "y")) {
        value = in.byte();
        in.exit();
    } else if (contents == "s" && in.enter('v', "s")) {
        value = in.text('s', bluez::kMaximumTextBytes);
        in.exit();
    } else if (contents == "as" && in.enter('v', "as")) {
        std::vector<std::string> texts;
        if (in.enter('a', "s")) {
            while (auto uuid = in.nextText('s', bluez::kMaximumTextBytes)) {
                if (texts.size() < bluez::kMaximumUuids) {
                    texts.push_back(std::move(*uuid));
                }
            }
            in.exit();
        }
        value = std::move(texts);
        in.exit();
    } else {
        in.skip("v");
    }
    return value;
}

// The properties of one interface that the devices use; the others are skipped unread.
BusProperties readProperties(MessageReader& in, std::string_view interface)
{
    BusProperties properties;
    if (!in.enter('a', "{sv}")) {
        return properties;
    }
    while (in.enter('e', "sv")) {
        const std::string name = in.text();
        if (bluez::isUsedProperty(interface, name)) {
            properties.insert_or_assign(name, readValue(in));
        } else {
            in.skip("v");
        }
        in.exit();
    }
    in.exit();
    return properties;
}

} // namespace

BluezQuery::BluezQuery(const std::string& address, std::set<std::string> listedAddresses, double deadline,
    const Clock& clock, std::size_t maximumObjects)
    : clock_(clock), maximumObjects_(maximumObjects), started_(clock.uptime()), devices_(std::move(listedAddresses))
{
    deadline_ = std::min(started_ + kBluezAnswerSeconds, deadline - kBluezReserveSeconds);
    std::string reason;
    library_ = sdBus(reason);
    if (library_ == nullptr) {
        fail("no D-Bus client to ask BlueZ: " + reason, false);
        return;
    }
    if (!(deadline_ > started_)) {
        fail("no time was left to ask BlueZ", true);
        return;
    }

    if (!isLocalSocketAddress(address)) {
        fail("the system bus address is not a local socket (unix:): " + address, false);
        return;
    }

    sd_bus* bus = nullptr;
    int result = library_->busNew(&bus);
    if (result < 0) {
        fail("cannot make a D-Bus connection: " + errorText(result), false);
        return;
    }
    bus_ = SdBusConnection(bus, SdBusCloser {library_});
    result = library_->setAddress(bus, address.c_str());
    result = result < 0 ? result : library_->setBusClient(bus, 1);
    result = result < 0 ? result : library_->negotiateFds(bus, 0);
    result = result < 0 ? result : library_->start(bus);
    if (result < 0) {
        fail("no system bus at " + address + ": " + errorText(result), false);
        return;
    }

    // The watch is set up before the call, so that the bus delivers every change after the reply.
    sd_bus_slot* slot = nullptr;
    result = library_->matchSignalAsync(
        bus, &slot, kBluezName, kBluezManagerPath, kObjectManager, nullptr, onSignal, onMatchInstalled, this);
    if (result < 0) {
        fail("cannot watch BlueZ for devices coming and going: " + errorText(result), true);
        return;
    }
    match_ = SdBusSlot(slot, SdBusSlotUnref {library_});

    sd_bus_message* created = nullptr;
    result = library_->newMethodCall(bus, &created, kBluezName, kBluezManagerPath, kObjectManager, "GetManagedObjects");
    const SdBusMessage call(created, SdBusMessageUnref {library_});
    // Asking must never start BlueZ where it does not run.
    result = result < 0 ? result : library_->setAutoStart(call.get(), 0);
    slot = nullptr;
    result = result < 0
        ? result
        : library_->callAsync(bus, &slot, call.get(), onReply, this, microseconds(deadline_ - clock_.uptime()));
    if (result < 0) {
        fail("cannot ask BlueZ for its devices: " + errorText(result), true);
        return;
    }
    call_ = SdBusSlot(slot, SdBusSlotUnref {library_});
}

BluezQuery::~BluezQuery()
{
    // Closed first, the match's slot cannot ask the bus to drop its rule as it goes.
    if (bus_) {
        library_->close(bus_.get());
    }
    call_.reset();
    match_.reset();
    bus_.reset();
}

const std::vector<bluez::BluezBattery>& BluezQuery::batteries()
{
    while (!replied_ && !failure_) {
        const int processed = library_->process(bus_.get(), nullptr);
        if (processed < 0) {
            fail("the system bus connection failed: " + errorText(processed), true);
            break;
        }
        if (replied_ || failure_) {
            break;
        }
        // Checked after every message too: a stream of them must not keep the walk waiting.
        const double remaining = deadline_ - clock_.uptime();
        if (!(remaining > 0)) {
            fail("BlueZ did not answer within " + budgetText(), true);
            break;
        }
        if (processed > 0) {
            continue;
        }
        const int waited = library_->wait(bus_.get(), microseconds(remaining));
        if (waited < 0 && waited != -EINTR) {
            fail("the system bus connection failed: " + errorText(waited), true);
            break;
        }
    }
    static const std::vector<bluez::BluezBattery> none;
    return failure_ ? none : devices_.batteries();
}

bool BluezQuery::unchanged()
{
    if (!replied_ || failure_) {
        return true; // nothing of BlueZ's was listed
    }
    // Every change BlueZ announced since the reply is waiting on the connection by now, or arrives
    // after the walk, which is too late to matter.
    for (std::size_t messages = 0;; ++messages) {
        if (messages == kMaximumBluezMessagesAfterReply) {
            return false;
        }
        const int processed = library_->process(bus_.get(), nullptr);
        if (processed < 0) {
            return false;
        }
        if (processed == 0) {
            break;
        }
    }
    return !signalUnreadable_ && !devices_.changed();
}

std::vector<RegistryNote> BluezQuery::notes() const
{
    std::vector<RegistryNote> notes;
    if (failure_) {
        notes.push_back(*failure_);
        return notes;
    }
    if (cut_) {
        notes.push_back(*cut_);
    }
    if (const std::size_t malformed = devices_.malformed(); malformed > 0) {
        notes.push_back({"BlueZ: " + std::to_string(malformed) + " device" + (malformed == 1 ? "" : "s") +
                " with a malformed battery left out",
            true});
    }
    return notes;
}

void BluezQuery::fail(std::string reason, bool devicesMissing)
{
    if (!failure_) {
        failure_ = RegistryNote {std::move(reason), devicesMissing};
    }
}

std::string BluezQuery::budgetText() const
{
    return std::to_string(static_cast<long>(std::lround((deadline_ - started_) * 1000))) + " ms";
}

int BluezQuery::onReply(sd_bus_message* reply, void* self, sd_bus_error* /*error*/)
{
    static_cast<BluezQuery*>(self)->receiveReply(reply);
    return 0;
}

int BluezQuery::onSignal(sd_bus_message* signal, void* self, sd_bus_error* /*error*/)
{
    static_cast<BluezQuery*>(self)->receiveSignal(signal);
    return 0;
}

int BluezQuery::onMatchInstalled(sd_bus_message* reply, void* self, sd_bus_error* /*error*/)
{
    auto* query = static_cast<BluezQuery*>(self);
    query->matchState_ = query->library_->isMethodError(reply, nullptr) > 0 ? Match::failed : Match::installed;
    return 0;
}

void BluezQuery::receiveReply(sd_bus_message* reply)
{
    replied_ = true;
    if (library_->isMethodError(reply, nullptr) > 0) {
        const sd_bus_error* error = library_->getError(reply);
        const std::string name = error != nullptr && error->name != nullptr ? error->name : "an unnamed error";
        if (name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER) {
            fail("BlueZ is not running on the system bus", false);
        } else if (name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_TIMEOUT) {
            fail("BlueZ did not answer within " + budgetText(), true);
        } else {
            fail("BlueZ refused its device list: " + name, true);
        }
        return;
    }
    // The bus answers the match before it passes the call on, so its answer is in by now.
    if (matchState_ != Match::installed) {
        fail("cannot watch BlueZ for devices coming and going", true);
        return;
    }
    if (library_->hasSignature(reply, kReplySignature) <= 0) {
        fail("BlueZ's device list is malformed", true);
        return;
    }

    MessageReader in(*library_, reply);
    in.enter('a', "{oa{sa{sv}}}");
    for (std::size_t examined = 0; in.enter('e', "oa{sa{sv}}"); ++examined) {
        if (examined == maximumObjects_) {
            cut_ = RegistryNote {
                "only the first " + std::to_string(examined) + " objects of BlueZ's device list were read", true};
            break;
        }
        if (clock_.uptime() > deadline_) {
            cut_ = RegistryNote {"BlueZ's device list could not be read within " + budgetText(), true};
            break;
        }
        bluez::BluezObject object {in.text('o'), std::nullopt, std::nullopt};
        if (in.enter('a', "{sa{sv}}")) {
            while (in.enter('e', "sa{sv}")) {
                const std::string interface = in.text();
                if (interface == bluez::kDeviceInterface) {
                    object.device = readProperties(in, interface);
                } else if (interface == bluez::kBatteryInterface) {
                    object.battery = readProperties(in, interface);
                } else {
                    in.skip("a{sv}");
                }
                in.exit();
            }
            in.exit();
        }
        in.exit();
        if (!in.ok()) {
            break;
        }
        if (object.device || object.battery) {
            devices_.add(object);
        }
    }
    if (!in.ok()) {
        fail("BlueZ's device list is malformed", true);
    }
}

void BluezQuery::receiveSignal(sd_bus_message* signal)
{
    if (!replied_ || failure_) {
        return; // a change before the reply is in the reply
    }
    const bool added = library_->isSignal(signal, kObjectManager, "InterfacesAdded") > 0;
    if (!added && library_->isSignal(signal, kObjectManager, "InterfacesRemoved") <= 0) {
        return;
    }
    if (library_->hasSignature(signal, added ? "oa{sa{sv}}" : "oas") <= 0) {
        signalUnreadable_ = true;
        return;
    }
    MessageReader in(*library_, signal);
    const std::string path = in.text('o');
    std::vector<std::string> interfaces;
    const auto keep = [&interfaces](std::string interface) {
        if (interface == bluez::kDeviceInterface || interface == bluez::kBatteryInterface) {
            interfaces.push_back(std::move(interface));
        }
    };
    if (added && in.enter('a', "{sa{sv}}")) {
        while (in.enter('e', "sa{sv}")) {
            keep(in.text());
            in.skip("a{sv}");
            in.exit();
        }
        in.exit();
    } else if (!added && in.enter('a', "s")) {
        while (auto interface = in.nextText()) {
            keep(std::move(*interface));
        }
        in.exit();
    }
    if (!in.ok()) {
        signalUnreadable_ = true;
        return;
    }
    if (added) {
        devices_.interfacesAdded(path, interfaces);
    } else {
        devices_.interfacesRemoved(path, interfaces);
    }
}

} // namespace quorvantile

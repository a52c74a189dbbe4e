#pragma once

#include "common/Clock.h"
#include "sensors/ProcessorBrand.h"
#include "sensors/Registry.h"
#include "sensors/SensorHardware.h"
#include "sensors/Smc.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Fakes of the sensor ports. Each handle they give out counts itself in `live` while it exists, so
// tests can check that every path releases what it took.
namespace quorvantile::testing {

class CountedHandle {
public:
    explicit CountedHandle(int& live) : live_(++live) { }
    CountedHandle(const CountedHandle&) = delete;
    CountedHandle& operator=(const CountedHandle&) = delete;
    ~CountedHandle() { --live_; }

private:
    int& live_;
};

inline std::vector<std::uint8_t> floatBytes(float value)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
        static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
}

// One way to break one of a key's two exchanges.
enum class SmcFault {
    none,
    informationStatus,
    informationLength,
    informationResult,
    readStatus,
    readLength,
    readResult
};

struct FakeSmcKey {
    FakeSmcKey() = default;
    FakeSmcKey(std::string typeName, std::vector<std::uint8_t> data, SmcFault broken = SmcFault::none,
        std::optional<std::uint32_t> size = std::nullopt)
        : type(std::move(typeName)), bytes(std::move(data)), fault(broken), reportedSize(size)
    {
    }
    std::string type;
    std::vector<std::uint8_t> bytes;
    SmcFault fault = SmcFault::none;
    std::optional<std::uint32_t> reportedSize; // what key information reports instead of bytes.size()
};

struct SmcCall {
    std::uint32_t selector = 0;
    std::string key;
    std::uint8_t command = 0;
    std::uint32_t size = 0;
};

struct FakeSmcState {
    std::map<std::string, FakeSmcKey> keys;
    std::vector<SmcCall> calls;
    bool present = true;
    std::optional<std::uint64_t> registryID = 0x1000'0000'2a;
    bool opens = true;
    int liveServices = 0;
    int liveConnections = 0;
};

class FakeSmcConnection final : public SmcConnection {
public:
    explicit FakeSmcConnection(FakeSmcState& state) : state_(state), handle_(state.liveConnections) { }

    std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) override
    {
        const std::uint32_t code = SensorHardware::little32(input, 0).value();
        const std::string key {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
            static_cast<char>(code >> 8), static_cast<char>(code)};
        const bool information = input[42] == kSmcReadKeyInformation;
        state_.calls.push_back({selector, key, input[42], SensorHardware::little32(input, 28).value()});
        const auto found = state_.keys.find(key);
        if (found == state_.keys.end()) {
            output[40] = 0x84;
            return 0;
        }
        const FakeSmcKey& entry = found->second;
        if (information) {
            const auto size = entry.reportedSize.value_or(static_cast<std::uint32_t>(entry.bytes.size()));
            const std::uint32_t type = SensorHardware::packedKey(entry.type);
            for (std::size_t index = 0; index < 4; ++index) {
                output[28 + index] = static_cast<std::uint8_t>(size >> (8 * index));
                output[32 + index] = static_cast<std::uint8_t>(type >> (8 * index));
            }
        } else {
            std::copy(entry.bytes.begin(), entry.bytes.end(), output.begin() + 48);
        }
        const auto is = [&](SmcFault ifInformation, SmcFault ifRead) {
            return entry.fault == (information ? ifInformation : ifRead);
        };
        output[40] = is(SmcFault::informationResult, SmcFault::readResult) ? 0x85 : 0;
        outputLength = is(SmcFault::informationLength, SmcFault::readLength) ? 79 : 80;
        return is(SmcFault::informationStatus, SmcFault::readStatus) ? kSmcStatusBadArgument : 0;
    }

private:
    FakeSmcState& state_;
    CountedHandle handle_;
};

class FakeSmcService final : public SmcService {
public:
    explicit FakeSmcService(FakeSmcState& state) : state_(state), handle_(state.liveServices) { }
    std::optional<std::uint64_t> registryEntryID() const override { return state_.registryID; }
    std::unique_ptr<SmcConnection> open() override
    {
        return state_.opens ? std::make_unique<FakeSmcConnection>(state_) : nullptr;
    }

private:
    FakeSmcState& state_;
    CountedHandle handle_;
};

class FakeSmc final : public Smc {
public:
    explicit FakeSmc(FakeSmcState& state) : state_(state) { }
    std::unique_ptr<SmcService> matchingService() override
    {
        return state_.present ? std::make_unique<FakeSmcService>(state_) : nullptr;
    }

private:
    FakeSmcState& state_;
};

using FakeProperties = std::map<std::string, RegistryValue, std::less<>>;

struct FakeRegistryState {
    std::vector<FakeProperties> services;
    bool listable = true;
    bool validAtEnd = true;
    std::function<void()> onNext; // runs on every step of a walk
    int nextCalls = 0;
    int liveIterators = 0;
    int liveEntries = 0;
};

class FakeRegistryEntry final : public RegistryEntry {
public:
    FakeRegistryEntry(FakeRegistryState& state, const FakeProperties& properties)
        : properties_(properties), handle_(state.liveEntries)
    {
    }
    std::optional<std::uint64_t> registryEntryID() const override { return 1; }
    std::optional<RegistryValue> property(std::string_view name) const override
    {
        const auto found = properties_.find(name);
        return found == properties_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    const FakeProperties& properties_;
    CountedHandle handle_;
};

class FakeRegistryIterator final : public RegistryIterator {
public:
    explicit FakeRegistryIterator(FakeRegistryState& state) : state_(state), handle_(state.liveIterators) { }
    std::unique_ptr<RegistryEntry> next() override
    {
        ++state_.nextCalls;
        if (state_.onNext) {
            state_.onNext();
        }
        if (position_ == state_.services.size()) {
            return nullptr;
        }
        return std::make_unique<FakeRegistryEntry>(state_, state_.services[position_++]);
    }
    bool isValid() const override { return state_.validAtEnd; }

private:
    FakeRegistryState& state_;
    CountedHandle handle_;
    std::size_t position_ = 0;
};

class FakeRegistry final : public Registry {
public:
    explicit FakeRegistry(FakeRegistryState& state) : state_(state) { }
    std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override
    {
        if (className != "AppleSmartBattery" || !state_.listable) {
            return nullptr;
        }
        return std::make_unique<FakeRegistryIterator>(state_);
    }

private:
    FakeRegistryState& state_;
};

// Answers like the sysctl: the length with its zero (or `reportedLength`), then the bytes.
class FakeProcessorBrand final : public ProcessorBrand {
public:
    FakeProcessorBrand(std::string bytes, std::optional<std::size_t> reportedLength)
        : bytes_(std::move(bytes)), reportedLength_(reportedLength)
    {
    }
    int read(std::span<char> buffer, std::size_t& length) override
    {
        length = buffer.empty() ? reportedLength_.value_or(bytes_.size() + 1) : std::min(buffer.size(), bytes_.size());
        std::copy_n(bytes_.begin(), buffer.empty() ? 0 : length, buffer.begin());
        return 0;
    }

private:
    std::string bytes_;
    std::optional<std::size_t> reportedLength_;
};

class FakeClock final : public Clock {
public:
    double uptime() const override { return now; }
    double now = 500.0;
};

} // namespace quorvantile::testing

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

// Fakes of the sensor ports. Each counts the handles it has given out and not yet seen released,
// so that tests can check that every path releases them.
namespace quorvantile::testing {

struct HandleCounter {
    int live = 0;
    int opened = 0;
};

class CountedHandle {
public:
    explicit CountedHandle(HandleCounter& counter) : counter_(counter)
    {
        ++counter_.live;
        ++counter_.opened;
    }
    CountedHandle(const CountedHandle&) = delete;
    CountedHandle& operator=(const CountedHandle&) = delete;
    ~CountedHandle() { --counter_.live; }

private:
    HandleCounter& counter_;
};

// ---- SMC ----------------------------------------------------------------------------------------

// One key as the fake SMC holds it; the overrides break one exchange on purpose.
struct FakeSmcKey {
    FakeSmcKey() = default;
    FakeSmcKey(std::string typeName, std::vector<std::uint8_t> data) : type(std::move(typeName)), bytes(std::move(data))
    {
    }

    std::string type;
    std::vector<std::uint8_t> bytes;
    std::int32_t informationStatus = 0;
    std::int64_t informationLength = kSmcBlockBytes;
    std::uint8_t informationResult = 0;
    std::optional<std::uint32_t> reportedSize; // the data size key information reports, if not bytes.size()
    std::int32_t readStatus = 0;
    std::int64_t readLength = kSmcBlockBytes;
    std::uint8_t readResult = 0;
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
    std::optional<std::uint64_t> registryID = 0x1000'0000'2a;
    bool opens = true;
    HandleCounter services;
    HandleCounter connections;
};

inline std::vector<std::uint8_t> floatBytes(float value)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
        static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
}

class FakeSmcConnection final : public SmcConnection {
public:
    explicit FakeSmcConnection(FakeSmcState& state) : state_(state), handle_(state.connections) { }

    std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) override
    {
        const auto code = static_cast<std::uint32_t>(input[0] | input[1] << 8 | input[2] << 16 | input[3] << 24);
        const std::string key {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
            static_cast<char>(code >> 8), static_cast<char>(code)};
        const auto size = static_cast<std::uint32_t>(input[28] | input[29] << 8 | input[30] << 16 | input[31] << 24);
        state_.calls.push_back({selector, key, input[42], size});
        const auto found = state_.keys.find(key);
        if (found == state_.keys.end()) {
            output[40] = 0x84;
            return 0;
        }
        const FakeSmcKey& entry = found->second;
        if (input[42] == SensorHardware::kReadKeyInformation) {
            const std::uint32_t reported = entry.reportedSize.value_or(static_cast<std::uint32_t>(entry.bytes.size()));
            std::uint32_t type = 0;
            for (const char c : entry.type) {
                type = type << 8 | static_cast<std::uint8_t>(c);
            }
            for (std::size_t index = 0; index < 4; ++index) {
                output[28 + index] = static_cast<std::uint8_t>(reported >> (8 * index));
                output[32 + index] = static_cast<std::uint8_t>(type >> (8 * index));
            }
            output[40] = entry.informationResult;
            outputLength = static_cast<std::size_t>(entry.informationLength);
            return entry.informationStatus;
        }
        std::copy(entry.bytes.begin(), entry.bytes.end(), output.begin() + 48);
        output[40] = entry.readResult;
        outputLength = static_cast<std::size_t>(entry.readLength);
        return entry.readStatus;
    }

private:
    FakeSmcState& state_;
    CountedHandle handle_;
};

class FakeSmcService final : public SmcService {
public:
    explicit FakeSmcService(FakeSmcState& state) : state_(state), handle_(state.services) { }
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
    explicit FakeSmc(FakeSmcState& state, bool present = true) : state_(state), present_(present) { }
    std::unique_ptr<SmcService> matchingService() override
    {
        return present_ ? std::make_unique<FakeSmcService>(state_) : nullptr;
    }

private:
    FakeSmcState& state_;
    bool present_;
};

// ---- Registry -----------------------------------------------------------------------------------

using FakeProperties = std::map<std::string, RegistryValue, std::less<>>;

struct FakeRegistryState {
    std::vector<FakeProperties> services;
    bool listable = true;
    bool validAtEnd = true;
    std::function<void()> onNext; // runs on every step of a walk
    int nextCalls = 0;
    HandleCounter iterators;
    HandleCounter entries;
};

class FakeRegistryEntry final : public RegistryEntry {
public:
    FakeRegistryEntry(FakeRegistryState& state, const FakeProperties& properties)
        : properties_(properties), handle_(state.entries)
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
    explicit FakeRegistryIterator(FakeRegistryState& state) : state_(state), handle_(state.iterators) { }
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

// ---- Brand string and clock ---------------------------------------------------------------------

class FakeProcessorBrand final : public ProcessorBrand {
public:
    explicit FakeProcessorBrand(std::string bytes, std::optional<std::size_t> reportedLength = std::nullopt)
        : bytes_(std::move(bytes)), reportedLength_(reportedLength)
    {
    }
    int read(std::span<char> buffer, std::size_t& length) override
    {
        if (buffer.empty()) {
            length = reportedLength_.value_or(bytes_.size() + 1);
            return 0;
        }
        const std::size_t copied = std::min(buffer.size(), bytes_.size());
        std::copy_n(bytes_.begin(), copied, buffer.begin());
        length = copied;
        return 0;
    }

private:
    std::string bytes_;
    std::optional<std::size_t> reportedLength_;
};

class FakeClock final : public Clock {
public:
    explicit FakeClock(double now) : now_(now) { }
    double uptime() const override { return now_; }
    void advance(double seconds) { now_ += seconds; }

private:
    double now_;
};

} // namespace quorvantile::testing

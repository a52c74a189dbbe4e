#pragma once

#include "common/Clock.h"
#include "sensors/ProcessorBrand.h"
#include "sensors/Registry.h"
#include "sensors/SensorHardware.h"
#include "sensors/Smc.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

// Fakes of the sensor ports. Every handle they give out holds a copy of its fake's `token`, so that
// tests can check that every path releases what it took.
namespace quorvantile::testing {

using Token = std::shared_ptr<int>;
inline long live(const Token& token) { return token.use_count() - 1; }

inline std::vector<std::uint8_t> floatBytes(float value)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
        static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
}

// How an exchange of a key's `brokenCommand` fails.
enum class SmcBreak { status, length, result };

struct FakeSmcKey {
    std::string type;
    std::vector<std::uint8_t> bytes;
    std::optional<std::uint32_t> reportedSize = std::nullopt; // what key information answers instead of bytes.size()
    std::uint8_t brokenCommand = 0;
    SmcBreak brokenBy = SmcBreak::status;
};

struct SmcCall {
    std::string key;
    std::uint8_t command = 0;
    std::uint32_t size = 0;
    bool operator==(const SmcCall&) const = default;
};

struct FakeSmcState {
    std::map<std::string, FakeSmcKey> keys;
    std::vector<SmcCall> calls;
    bool present = true;
    std::optional<std::uint64_t> registryID = 0x1000'0000'2a;
    bool opens = true;
    Token token = std::make_shared<int>();
};

struct FakeSmcConnection final : SmcConnection {
    explicit FakeSmcConnection(FakeSmcState& held) : state(held), token(held.token) { }

    std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) override
    {
        if (selector != kSmcSelector || input.size() != kSmcBlockBytes || outputLength != kSmcBlockBytes) {
            return kSmcStatusBadArgument;
        }
        // The key is little-endian in bytes 0 … 3: its first character is byte 3.
        const std::string key(std::make_reverse_iterator(input.begin() + 4), input.rend());
        const std::uint8_t command = input[kSmcCommandOffset];
        state.calls.push_back({key, command, SensorHardware::little32(input, kSmcDataSizeOffset).value()});
        const auto found = state.keys.find(key);
        if (found == state.keys.end()) {
            output[kSmcResultOffset] = 0x84;
            return 0;
        }
        const FakeSmcKey& entry = found->second;
        if (command == kSmcReadKeyInformation) {
            const auto size = entry.reportedSize.value_or(static_cast<std::uint32_t>(entry.bytes.size()));
            const std::uint32_t type = smc::packedCode(entry.type);
            for (std::size_t index = 0; index < 4; ++index) {
                output[kSmcDataSizeOffset + index] = static_cast<std::uint8_t>(size >> (8 * index));
                output[kSmcDataTypeOffset + index] = static_cast<std::uint8_t>(type >> (8 * index));
            }
        } else {
            std::copy(entry.bytes.begin(), entry.bytes.end(), output.begin() + kSmcBytesOffset);
        }
        const auto broken = [&](SmcBreak how) { return command == entry.brokenCommand && entry.brokenBy == how; };
        output[kSmcResultOffset] = broken(SmcBreak::result) ? 0x85 : 0;
        outputLength = broken(SmcBreak::length) ? kSmcBlockBytes - 1 : kSmcBlockBytes;
        return broken(SmcBreak::status) ? kSmcStatusBadArgument : 0;
    }

    FakeSmcState& state;
    Token token;
};

struct FakeSmc final : Smc {
    struct Service final : SmcService {
        explicit Service(FakeSmcState& held) : state(held), token(held.token) { }
        std::optional<std::uint64_t> registryEntryID() const override { return state.registryID; }
        std::unique_ptr<SmcConnection> open() override
        {
            return state.opens ? std::make_unique<FakeSmcConnection>(state) : nullptr;
        }
        FakeSmcState& state;
        Token token;
    };

    explicit FakeSmc(FakeSmcState& held) : state(held) { }
    std::unique_ptr<SmcService> matchingService() override
    {
        return state.present ? std::make_unique<Service>(state) : nullptr;
    }
    FakeSmcState& state;
};

struct FakeService {
    std::optional<std::uint64_t> id;
    std::map<std::string, RegistryValue, std::less<>> properties;
};

// Lists `services` for `serviceClass` only, runs `onNext` on every step of a walk, and ends it with
// `notes`.
struct FakeRegistry final : Registry {
    struct Entry final : RegistryEntry {
        Entry(FakeService held, Token shared) : service(std::move(held)), token(std::move(shared)) { }
        std::optional<std::uint64_t> registryEntryID() const override { return service.id; }
        std::optional<RegistryValue> property(std::string_view name) const override
        {
            const auto found = service.properties.find(name);
            return found == service.properties.end() ? std::nullopt : std::optional(found->second);
        }
        FakeService service;
        Token token;
    };
    struct Walk final : RegistryIterator {
        explicit Walk(FakeRegistry& owner) : registry(owner), token(owner.token) { }
        std::unique_ptr<RegistryEntry> next() override
        {
            registry.onNext();
            return position < registry.services.size()
                ? std::make_unique<Entry>(registry.services[position++], registry.token)
                : nullptr;
        }
        bool isValid() const override { return registry.staysValid; }
        std::vector<RegistryNote> notes() const override { return registry.notes; }
        FakeRegistry& registry;
        Token token;
        std::size_t position = 0;
    };

    explicit FakeRegistry(std::string className) : serviceClass(std::move(className)) { }
    std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override
    {
        return listable && className == serviceClass ? std::make_unique<Walk>(*this) : nullptr;
    }

    std::string serviceClass;
    std::vector<FakeService> services;
    bool listable = true;
    bool staysValid = true;
    std::vector<RegistryNote> notes;
    std::function<void()> onNext = [] {};
    Token token = std::make_shared<int>();
};

// Answers like the sysctl: the length with its zero (or `reportedLength`), then the bytes.
struct FakeProcessorBrand final : ProcessorBrand {
    int read(std::span<char> buffer, std::size_t& length) override
    {
        length = buffer.empty() ? reportedLength.value_or(bytes.size() + 1) : std::min(buffer.size(), bytes.size());
        std::copy_n(bytes.begin(), buffer.empty() ? 0 : length, buffer.begin());
        return 0;
    }
    std::string bytes;
    std::optional<std::size_t> reportedLength;
};

// Each reading is `step` seconds after the one before.
struct FakeClock final : Clock {
    double uptime() const override { return std::exchange(now, now + step); }
    mutable double now = 500.0;
    double step = 0;
};

} // namespace quorvantile::testing

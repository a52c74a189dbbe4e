#pragma once

#include "common/Environment.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace quorvantile {

// What the operating system says about one running process.
struct AppQuitProcessIdentity {
    std::int32_t pid = 0;
    std::uint64_t startSeconds = 0;
    std::uint64_t startMicroseconds = 0;
    std::uint32_t uid = 0;

    bool operator==(const AppQuitProcessIdentity&) const = default;
};

// How an application presents itself to the user.
enum class ActivationPolicy : std::int64_t {
    regular = 0, // shown to the user like any application (on Linux: listed by launchers)
    accessory = 1, // present but hidden from the user's lists
    prohibited = 2, // not an application the user started as one
};

// A running application, as the platform's running-application object describes it.
class AppQuitApplication {
public:
    virtual ~AppQuitApplication() = default;
    [[nodiscard]] virtual std::int32_t processIdentifier() const = 0;
    [[nodiscard]] virtual std::optional<std::string> bundleIdentifier() const = 0;
    [[nodiscard]] virtual ActivationPolicy activationPolicy() const = 0;
    [[nodiscard]] virtual bool isTerminated() const = 0;
    // Asks the application to quit in the ordinary way; whether the ask was delivered.
    [[nodiscard]] virtual bool terminate() = 0;
};

// The system as the quit handler reaches it.
class AppQuitOperatingSystem {
public:
    virtual ~AppQuitOperatingSystem() = default;
    [[nodiscard]] virtual std::int32_t currentProcessIdentifier() const = 0;
    // The process that started this one (the settings application, or the parent application).
    [[nodiscard]] virtual std::int32_t parentProcessIdentifier() const = 0;
    [[nodiscard]] virtual std::uint32_t effectiveUserIdentifier() const = 0;
    // The identity of the live process `pid`; absent for a process that is gone or a zombie.
    [[nodiscard]] virtual std::optional<AppQuitProcessIdentity> process(std::int32_t pid) = 0;
    // The running application whose process is `processIdentifier`; null when there is none.
    [[nodiscard]] virtual std::unique_ptr<AppQuitApplication> runningApplication(std::int32_t processIdentifier) = 0;
};

// The real system: the real /proc (the pidfd that signals acts on real processes, so a configured
// proc root must not describe them) and the configured data folders.
class SystemAppQuitOperatingSystem final : public AppQuitOperatingSystem {
public:
    explicit SystemAppQuitOperatingSystem(Environment environment) : environment_(std::move(environment)) { }
    [[nodiscard]] std::int32_t currentProcessIdentifier() const override;
    [[nodiscard]] std::int32_t parentProcessIdentifier() const override;
    [[nodiscard]] std::uint32_t effectiveUserIdentifier() const override;
    [[nodiscard]] std::optional<AppQuitProcessIdentity> process(std::int32_t pid) override;
    [[nodiscard]] std::unique_ptr<AppQuitApplication> runningApplication(std::int32_t processIdentifier) override;

private:
    Environment environment_;
};

} // namespace quorvantile

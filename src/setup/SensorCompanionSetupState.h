#pragma once

#include "setup/DefaultsStore.h"
#include "setup/SensorCompanionLoginControlling.h"
#include "setup/SensorCompanionProcessControlling.h"
#include "setup/SetupError.h"
#include "setup/Task.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvantile::setup {

// The user-defaults key of the user's choice to keep the sensor server running.
inline constexpr std::string_view kSensorsEnabledKey = "sensorsEnabled.v1";

// The one model of the setup application: what the settings view shows, the user's persisted
// choice, and the state machine that starts, replaces and stops the server child.
//
// Confined to the main executor: every operation first moves there, and only code running there
// reads the fields. Observers are called before each change of a published field. Writes to disk
// (the stored choice, the login item) run in order on the storage executor, so that a slow disk
// never holds up the main thread; their outcomes come back to the main executor.
class SensorCompanionSetupState : public std::enable_shared_from_this<SensorCompanionSetupState> {
public:
    // Reads `enabled` from `defaults` and, last, the login status; starts nothing. The exit callbacks
    // hold the state weakly, so it always lives in a shared_ptr.
    [[nodiscard]] static std::shared_ptr<SensorCompanionSetupState> create(std::shared_ptr<DefaultsStore> defaults,
        std::shared_ptr<SensorCompanionProcessControlling> process,
        std::shared_ptr<SensorCompanionLoginControlling> login, std::shared_ptr<Executor> mainExecutor,
        std::shared_ptr<Executor> storageExecutor);

    SensorCompanionSetupState(const SensorCompanionSetupState&) = delete;
    SensorCompanionSetupState& operator=(const SensorCompanionSetupState&) = delete;

    // Published fields.
    [[nodiscard]] bool enabled() const { return enabled_; }
    [[nodiscard]] bool running() const { return running_; }
    [[nodiscard]] bool busy() const { return busy_; }
    [[nodiscard]] bool loginBusy() const { return loginBusy_; }
    [[nodiscard]] LoginItemStatus loginStatus() const { return loginStatus_; }
    [[nodiscard]] bool sensorFailed() const { return sensorFailed_; }
    [[nodiscard]] const std::optional<std::string>& loginError() const { return loginError_; }
    // Why the last choice could not be stored (the next launch would not restore it); empty once a
    // later one is.
    [[nodiscard]] const std::optional<std::string>& storeError() const { return storeError_; }

    using ObserverId = std::uint64_t;
    ObserverId addObserver(std::function<void()> willChange);
    void removeObserver(ObserverId id);

    // Called when an on-demand server ends by itself.
    void setOnDemandFinished(std::function<void()> callback) { onDemandFinished_ = std::move(callback); }

    // At launch: the persistent server when enabled, else an on-demand one when asked for.
    Task<void> restore(bool onDemand);
    // The user's switch. Ignored while a start or stop is in progress.
    Task<void> setEnabled(bool enabled);
    // The user's login-item switch. Ignored while a change is in progress.
    Task<void> setLogin(bool enabled);
    void openLoginSettings();
    void refreshLoginStatus();
    // At quit: supersedes every start in flight, stops the server and waits for the writes already
    // begun. Its error is the stop's.
    Task<Outcome> shutdown();

private:
    SensorCompanionSetupState(std::shared_ptr<DefaultsStore> defaults,
        std::shared_ptr<SensorCompanionProcessControlling> process,
        std::shared_ptr<SensorCompanionLoginControlling> login, std::shared_ptr<Executor> mainExecutor,
        std::shared_ptr<Executor> storageExecutor);

    Task<void> start(bool persistent);
    std::function<void()> exitCallback(std::int64_t generation, bool persistent);
    void childExited(std::int64_t generation, bool persistent);
    Task<void> storeEnabled(bool enabled);

    template<typename Value> void publish(Value& field, Value value)
    {
        if (field == value) {
            return;
        }
        for (const auto& observer : std::vector(observers_)) {
            observer.second();
        }
        field = std::move(value);
    }

    bool enabled_ = false;
    bool running_ = false;
    bool busy_ = false;
    bool loginBusy_ = false;
    LoginItemStatus loginStatus_ = LoginItemStatus::notRegistered;
    bool sensorFailed_ = false;
    std::optional<std::string> loginError_;
    std::optional<std::string> storeError_;

    std::shared_ptr<DefaultsStore> defaults_;
    std::shared_ptr<SensorCompanionProcessControlling> process_;
    std::shared_ptr<SensorCompanionLoginControlling> login_;
    std::shared_ptr<Executor> main_;
    std::shared_ptr<Executor> storage_;
    // Raised at every start, every disable and at quit, so that late results of an abandoned
    // generation leave the fields alone.
    std::int64_t revision_ = 0;
    std::optional<std::int64_t> exitedRevision_;
    bool transient_ = false;
    std::function<void()> onDemandFinished_;

    std::vector<std::pair<ObserverId, std::function<void()>>> observers_;
    ObserverId nextObserver_ = 1;
};

} // namespace quorvantile::setup

#include "setup/SensorCompanionSetupState.h"

#include <algorithm>

namespace quorvantile::setup {
namespace {

// Awaits a controller's operation, then comes back to the main executor, wherever it finished.
Task<Outcome> onMain(Executor& main, Task<Outcome> operation)
{
    Outcome outcome = co_await std::move(operation);
    co_await resumeOn(main);
    co_return outcome;
}

// Runs an operation from its start on `executor`.
Task<Outcome> runOn(Executor& executor, Task<Outcome> operation)
{
    co_await resumeOn(executor);
    co_return co_await std::move(operation);
}

} // namespace

std::shared_ptr<SensorCompanionSetupState> SensorCompanionSetupState::create(std::shared_ptr<DefaultsStore> defaults,
    std::shared_ptr<SensorCompanionProcessControlling> process, std::shared_ptr<SensorCompanionLoginControlling> login,
    std::shared_ptr<Executor> mainExecutor, std::shared_ptr<Executor> storageExecutor)
{
    return std::shared_ptr<SensorCompanionSetupState>(new SensorCompanionSetupState(std::move(defaults),
        std::move(process), std::move(login), std::move(mainExecutor), std::move(storageExecutor)));
}

SensorCompanionSetupState::SensorCompanionSetupState(std::shared_ptr<DefaultsStore> defaults,
    std::shared_ptr<SensorCompanionProcessControlling> process, std::shared_ptr<SensorCompanionLoginControlling> login,
    std::shared_ptr<Executor> mainExecutor, std::shared_ptr<Executor> storageExecutor)
    : defaults_(std::move(defaults)), process_(std::move(process)), login_(std::move(login)),
      main_(std::move(mainExecutor)), storage_(std::move(storageExecutor))
{
    // Anything but a stored Boolean (a text, a number, nothing) reads as not enabled.
    const auto stored = defaults_->value(kSensorsEnabledKey);
    enabled_ = stored && stored->is_boolean() && stored->get<bool>();
    loginStatus_ = login_->status();
}

SensorCompanionSetupState::ObserverId SensorCompanionSetupState::addObserver(std::function<void()> willChange)
{
    const ObserverId id = nextObserver_++;
    observers_.emplace_back(id, std::move(willChange));
    return id;
}

void SensorCompanionSetupState::removeObserver(ObserverId id)
{
    std::erase_if(observers_, [id](const auto& observer) { return observer.first == id; });
}

Task<void> SensorCompanionSetupState::restore(bool onDemand)
{
    const auto self = shared_from_this();
    co_await resumeOn(*main_);
    if (enabled_) {
        co_await setEnabled(true);
    } else if (onDemand) {
        co_await start(false);
    }
}

Task<void> SensorCompanionSetupState::setEnabled(bool enabled)
{
    const auto self = shared_from_this();
    co_await resumeOn(*main_);
    if (busy_) {
        co_return;
    }
    if (enabled) {
        if (running_ && !transient_) {
            co_return;
        }
        // Replaces a running on-demand server by a persistent one.
        co_await start(true);
        if (running_) {
            publish(enabled_, true);
            startDetached(storeEnabled(true));
        }
        co_return;
    }

    publish(busy_, true);
    ++revision_;
    publish(sensorFailed_, false);
    const Outcome stopped = co_await onMain(*main_, process_->stop());
    if (stopped) {
        publish(running_, false);
        transient_ = false;
        publish(enabled_, false);
        startDetached(storeEnabled(false));
    } else {
        publish(sensorFailed_, true);
    }
    publish(busy_, false);
}

Task<void> SensorCompanionSetupState::start(bool persistent)
{
    if (busy_) {
        co_return;
    }
    publish(busy_, true);
    publish(sensorFailed_, false);
    const std::int64_t generation = ++revision_;

    Outcome outcome = co_await onMain(*main_, process_->stop());
    if (outcome && revision_ != generation) {
        // A quit began while the old child was being stopped, and its own stop may already have
        // found nothing to end: a server launched now would outlive the application.
        publish(busy_, false);
        co_return;
    }
    if (outcome) {
        publish(running_, false);
        transient_ = !persistent;
        outcome = co_await onMain(*main_, process_->start(persistent, exitCallback(generation, persistent)));
    }
    if (outcome) {
        if (revision_ != generation) {
            publish(busy_, false); // a quit has begun meanwhile and owns the state now
            co_return;
        }
        if (exitedRevision_ != generation) {
            publish(running_, true);
            publish(busy_, false);
            co_return;
        }
        // The child became ready and ended before the start could report it: not ready after all.
    }
    if (revision_ == generation) {
        publish(running_, false);
        transient_ = false;
        publish(sensorFailed_, true);
    }
    publish(busy_, false);
}

std::function<void()> SensorCompanionSetupState::exitCallback(std::int64_t generation, bool persistent)
{
    // Called on the controller's watcher thread: it only posts, and holds the state weakly.
    return [weak = weak_from_this(), main = main_, generation, persistent] {
        main->post([weak, generation, persistent] {
            if (const auto self = weak.lock()) {
                self->childExited(generation, persistent);
            }
        });
    };
}

void SensorCompanionSetupState::childExited(std::int64_t generation, bool persistent)
{
    if (revision_ != generation) {
        return; // a later generation owns the state
    }
    exitedRevision_ = generation;
    publish(running_, false);
    if (busy_) {
        return; // the start or stop in progress judges the outcome itself
    }
    // A persistent server must not end by itself; an on-demand one may.
    publish(sensorFailed_, persistent);
    transient_ = false;
    if (!persistent && onDemandFinished_) {
        onDemandFinished_();
    }
}

Task<void> SensorCompanionSetupState::storeEnabled(bool enabled)
{
    const auto self = shared_from_this();
    co_await resumeOn(*storage_);
    // Read and written on the storage executor, so that choices reach the file in the order made.
    Outcome stored;
    const auto current = defaults_->value(kSensorsEnabledKey);
    if (!current || !current->is_boolean() || current->get<bool>() != enabled) {
        stored = defaults_->setValue(kSensorsEnabledKey, enabled);
    }
    co_await resumeOn(*main_);
    // `enabled` stays what the service does; the error says that the next launch will not know it.
    publish(storeError_, stored ? std::optional<std::string>() : stored.error().localizedDescription());
}

Task<void> SensorCompanionSetupState::setLogin(bool enabled)
{
    const auto self = shared_from_this();
    co_await resumeOn(*main_);
    if (loginBusy_) {
        co_return;
    }
    publish(loginBusy_, true);
    publish(loginError_, std::optional<std::string>());
    const Outcome outcome = co_await onMain(*main_, runOn(*storage_, login_->setEnabled(enabled)));
    if (!outcome) {
        publish(loginError_, std::optional<std::string>(outcome.error().localizedDescription()));
    }
    publish(loginBusy_, false);
    publish(loginStatus_, login_->status());
}

void SensorCompanionSetupState::openLoginSettings() { login_->openSettings(); }

void SensorCompanionSetupState::refreshLoginStatus() { publish(loginStatus_, login_->status()); }

Task<Outcome> SensorCompanionSetupState::shutdown()
{
    const auto self = shared_from_this();
    co_await resumeOn(*main_);
    ++revision_; // an in-flight start and any late exit callback no longer touch the state
    const Outcome stopped = co_await onMain(*main_, process_->stop());
    if (stopped) {
        publish(running_, false);
        transient_ = false;
        // Writes already begun (a disable that finished just before the quit stores its choice)
        // reach the disk before the application ends.
        co_await resumeOn(*storage_);
        co_await resumeOn(*main_);
    }
    co_return stopped;
}

} // namespace quorvantile::setup

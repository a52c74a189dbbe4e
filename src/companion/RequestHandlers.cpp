#include "companion/RequestHandlers.h"

#include "common/Json.h"
#include "companion/AppQuitHandler.h"
#include "companion/AppQuitRequest.h"
#include "companion/PeerCredentials.h"
#include "companion/SensorTransport.h"
#include "processes/ProcessDetailHardware.h"
#include "processes/ProcessInventoryHardware.h"
#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SensorHardware.h"
#include "sensors/SensorSnapshot.h"

#include <memory>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;

// The encoded record, or nothing when it cannot be encoded or does not fit `maximum`.
template<typename Record> std::optional<Reply> encodeReply(const Record& record, std::size_t maximum)
{
    auto bytes = json::encode(record);
    if (!bytes || bytes->empty() || bytes->size() > maximum) {
        return std::nullopt;
    }
    return Reply {std::move(*bytes), maximum};
}

std::int64_t count(std::size_t size) { return static_cast<std::int64_t>(size); }

std::optional<Reply> handleSnapshot(const RequestReaders& readers, const StatusReporter& reporter)
{
    const auto snapshot = readers.sensorSnapshot ? readers.sensorSnapshot() : Failure {"no sensor reader"};
    reporter.report({{"trusted", true}, {"requestAccepted", true},
        {"sensorReadCount", count(snapshot ? snapshot->readings.size() : 0)}, {"processReadCount", std::int64_t {0}}});
    if (!snapshot) {
        reporter.explain(snapshot.reason());
        return std::nullopt;
    }
    return encodeReply(*snapshot, transport::kMaximumReplyBytes);
}

std::optional<Reply> handleProcessDetails(
    const Connection& connection, const RequestReaders& readers, const StatusReporter& reporter)
{
    const auto body = transport::receiveBody(connection.fd, connection.deadline, *connection.clock);
    const auto requests = body ? ProcessDetailRequest::decode(*body) : std::nullopt;
    if (!requests || !readers.processDetails) {
        reportRefusal(reporter);
        return std::nullopt;
    }
    const ProcessDetailSnapshot snapshot = readers.processDetails(*requests);
    reporter.report({{"trusted", true}, {"requestAccepted", true}, {"sensorReadCount", std::int64_t {0}},
        {"processReadCount", count(snapshot.readings.size())}});
    return encodeReply(snapshot, transport::kMaximumReplyBytes);
}

// The reply of a reader that may give nothing: without a snapshot, or when it does not encode within
// `maximum`, the connection is closed without a status line; the reason goes to the diagnostics, as
// do the notes of a source that gave less than it has.
template<typename Snapshot> std::optional<Reply> readingsReply(
    const Result<Snapshot>& snapshot, std::size_t maximum, std::string countKey, const StatusReporter& reporter)
{
    if (!snapshot) {
        reporter.explain(snapshot.reason());
        return std::nullopt;
    }
    for (const std::string& note : snapshot.notes()) {
        reporter.explain(note);
    }
    auto reply = encodeReply(*snapshot, maximum);
    if (!reply) {
        return std::nullopt;
    }
    reporter.report({{"trusted", true}, {"requestAccepted", true}, {"sensorReadCount", std::int64_t {0}},
        {std::move(countKey), count(snapshot->readings.size())}, {"incomplete", snapshot->incomplete}});
    return reply;
}

std::optional<Reply> handleInventory(
    const Connection& connection, const RequestReaders& readers, const StatusReporter& reporter)
{
    // The peer's own process must survive the inventory's cut, so it is asked for by pid.
    const auto peer = peerCredentials(connection.fd);
    if (!peer || peer->pid < 1 || !readers.processInventory) {
        return std::nullopt;
    }
    return readingsReply(readers.processInventory(peer->pid), transport::kMaximumInventoryReplyBytes,
        "processInventoryReadCount", reporter);
}

std::optional<Reply> handleAccessoryBatteries(
    const Connection& connection, const RequestReaders& readers, const StatusReporter& reporter)
{
    const auto snapshot =
        readers.accessoryBatteries ? readers.accessoryBatteries(connection.deadline) : Failure {"no accessory reader"};
    return readingsReply(snapshot, transport::kMaximumReplyBytes, "accessoryBatteryReadCount", reporter);
}

std::optional<Reply> handleQuit(
    const Connection& connection, const RequestReaders& readers, const StatusReporter& reporter)
{
    // A body that cannot be read or decoded is closed on without a word.
    const auto body = transport::receiveBody(connection.fd, connection.deadline, *connection.clock);
    const auto request = body ? AppQuitRequest::decode(*body) : std::nullopt;
    if (!request || !readers.quitApplication) {
        return std::nullopt;
    }
    // A requester that cannot be named is refused: it could not be kept from quitting itself.
    const auto peer = peerCredentials(connection.fd);
    const bool requested = readers.quitApplication(*request, peer ? peer->pid : 0);
    const double uptime = connection.clock->uptime();
    reporter.report({{"trusted", true}, {"requestAccepted", true}, {"quitRequested", requested},
        {"sensorReadCount", std::int64_t {0}}, {"processReadCount", std::int64_t {0}}});
    const AppQuitResponse response {
        1, *request, uptime, requested ? AppQuitResponse::Outcome::requested : AppQuitResponse::Outcome::refused};
    return encodeReply(response, transport::kMaximumReplyBytes);
}

} // namespace

RequestReaders systemRequestReaders(const Environment& environment)
{
    RequestReaders readers;
    const SystemRoots& roots = environment.roots;
    readers.sensorSnapshot = [sensors = std::make_shared<SensorHardware::SystemSensors>(roots)] {
        return sensors->snapshot();
    };
    readers.processDetails = [roots](std::span<const ProcessDetailRequest> requests) {
        return ProcessDetailHardware::snapshot(requests, roots);
    };
    const auto inventory = std::make_shared<ProcessInventoryHardware::SystemInventory>(roots);
    readers.processInventory = [inventory](std::int32_t preferredPID) { return inventory->snapshot(preferredPID); };
    readers.rest = [inventory](double now) { return inventory->rest(now); };
    readers.accessoryBatteries = [roots](double until) { return AccessoryBatteryHardware::snapshot(roots, until); };
    readers.quitApplication = [environment](const AppQuitRequest& request, std::int32_t requester) {
        SystemAppQuitOperatingSystem system(environment);
        return AppQuitHandler::request(request, system, requester);
    };
    return readers;
}

void reportRefusal(const StatusReporter& reporter)
{
    reporter.report({{"trusted", true}, {"requestAccepted", false}, {"sensorReadCount", std::int64_t {0}},
        {"processReadCount", std::int64_t {0}}});
}

std::optional<Reply> handleRequest(std::string_view requestLine, const Connection& connection,
    const RequestReaders& readers, const StatusReporter& reporter)
{
    if (requestLine == transport::request) {
        return handleSnapshot(readers, reporter);
    }
    if (requestLine == transport::processRequest) {
        return handleProcessDetails(connection, readers, reporter);
    }
    if (requestLine == transport::inventoryRequest) {
        return handleInventory(connection, readers, reporter);
    }
    if (requestLine == transport::accessoryBatteryRequest) {
        return handleAccessoryBatteries(connection, readers, reporter);
    }
    if (requestLine == transport::quitRequest) {
        return handleQuit(connection, readers, reporter);
    }
    reportRefusal(reporter);
    return std::nullopt;
}

} // namespace quorvantile

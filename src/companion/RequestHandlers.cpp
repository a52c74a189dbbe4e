#include "companion/RequestHandlers.h"

#include "common/Json.h"
#include "companion/SensorTransport.h"
#include "sensors/SensorHardware.h"
#include "sensors/SensorSnapshot.h"

namespace quorvantile {
namespace {

namespace transport = SensorTransport;

std::optional<Reply> handleSnapshot(const RequestReaders& readers, const StatusReporter& reporter)
{
    const auto snapshot = readers.sensorSnapshot ? readers.sensorSnapshot() : Failure {"no sensor reader"};
    reporter.report({{"trusted", true}, {"requestAccepted", true},
        {"sensorReadCount", static_cast<std::int64_t>(snapshot ? snapshot->readings.size() : 0)},
        {"processReadCount", std::int64_t {0}}});
    if (!snapshot) {
        reporter.explain(snapshot.reason());
        return std::nullopt;
    }
    auto bytes = json::encode(*snapshot);
    if (!bytes) {
        return std::nullopt;
    }
    return Reply {std::move(*bytes), transport::kMaximumReplyBytes};
}

} // namespace

RequestReaders systemRequestReaders(const SystemRoots& roots)
{
    RequestReaders readers;
    readers.sensorSnapshot = [roots] { return SensorHardware::snapshot(roots); };
    return readers;
}

void reportRefusal(const StatusReporter& reporter)
{
    reporter.report({{"trusted", true}, {"requestAccepted", false}, {"sensorReadCount", std::int64_t {0}},
        {"processReadCount", std::int64_t {0}}});
}

std::optional<Reply> handleRequest(
    std::string_view requestLine, const Connection&, const RequestReaders& readers, const StatusReporter& reporter)
{
    if (requestLine == transport::request) {
        return handleSnapshot(readers, reporter);
    }
    // "process1", "appview1", "battery1" and "quitapp1" are known lines whose handlers are not part
    // of this server yet: they are refused like any unknown line.
    reportRefusal(reporter);
    return std::nullopt;
}

} // namespace quorvantile

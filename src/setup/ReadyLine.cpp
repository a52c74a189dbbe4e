#include "setup/ReadyLine.h"

#include "common/JsonDecode.h"

namespace quorvantile::setup {
namespace {

std::string_view firstNonEmptyLine(std::string_view buffer)
{
    while (!buffer.empty()) {
        const auto end = buffer.find('\n');
        const auto line = buffer.substr(0, end);
        if (!line.empty() || end == std::string_view::npos) {
            return line;
        }
        buffer.remove_prefix(end + 1);
    }
    return {};
}

} // namespace

Outcome parseReadyLine(std::string_view buffer)
{
    const std::string_view line = firstNonEmptyLine(buffer);
    if (line.empty()) {
        return SensorCompanionProcessError::notReady;
    }
    json::Json document;
    try {
        document = json::Json::parse(line.begin(), line.end());
    } catch (const json::Json::exception& error) {
        // Not only syntax errors: a number too large for any type ends the parse with another
        // exception, which must not escape into the setup application.
        return ParseError {error.what()};
    }
    if (!document.is_object()) {
        return SensorCompanionProcessError::notReady;
    }
    const auto ready = document.find("ready");
    if (ready == document.end() || !ready->is_boolean() || !ready->get<bool>()) {
        return SensorCompanionProcessError::notReady;
    }
    return {};
}

} // namespace quorvantile::setup

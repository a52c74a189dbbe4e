#include "companion/StatusReporter.h"

#include "common/FileText.h"
#include "companion/SensorCompanion.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quorvantile {
std::optional<std::string> formatStatusLine(const StatusLine& line)
{
    nlohmann::json object = nlohmann::json::object(); // std::map: keys come out sorted
    for (const auto& [key, value] : line) {
        std::visit([&, &name = key](const auto& v) { object[name] = v; }, value);
    }
    std::string text;
    try {
        text = object.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt; // a text that is not valid UTF-8
    }
    // A "/" can only occur inside a string of the compact form, so escaping every one is exact.
    std::string escaped;
    escaped.reserve(text.size() + 16);
    for (const char c : text) {
        if (c == '/') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

void StatusReporter::report(const StatusLine& line) const
{
    if (!enabled_) {
        return;
    }
    auto text = formatStatusLine(line);
    if (!text) {
        std::exit(SensorCompanion::kExitFailure);
    }
    *text += '\n';
    if (!writeAll(fd_, *text)) {
        std::exit(SensorCompanion::kExitFailure);
    }
}

} // namespace quorvantile

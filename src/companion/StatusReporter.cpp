#include "companion/StatusReporter.h"
#include "common/JsonDecode.h"

#include "common/FileText.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

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

bool StatusReporter::report(const StatusLine& line) const
{
    if (!enabled_ || failed_) {
        return !failed_;
    }
    auto text = formatStatusLine(line);
    failed_ = !text || !writeAll(fd_, *text + '\n');
    return !failed_;
}

void StatusReporter::explain(std::string_view reason) const
{
    if (enabled_ && reasonFd_ >= 0) {
        (void)writeAll(reasonFd_, "quorvantile-sensors: " + std::string(reason) + '\n');
    }
}

} // namespace quorvantile

#include "setup/linux/DesktopEntryText.h"

#include "common/Text.h"

namespace quorvantile::setup {
namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::optional<std::string> unescaped(std::string_view value)
{
    std::string plain;
    for (std::size_t index = 0; index < value.size(); ++index) {
        if (value[index] != '\\') {
            plain += value[index];
            continue;
        }
        if (++index == value.size()) {
            return std::nullopt;
        }
        switch (value[index]) {
        case 's':
            plain += ' ';
            break;
        case 'n':
            plain += '\n';
            break;
        case 't':
            plain += '\t';
            break;
        case 'r':
            plain += '\r';
            break;
        case '\\':
            plain += '\\';
            break;
        default:
            return std::nullopt;
        }
    }
    return plain;
}

} // namespace

std::optional<DesktopEntryGroups> parseDesktopEntryGroups(std::string_view text)
{
    if (!text::isValidUtf8(text)) {
        return std::nullopt;
    }
    DesktopEntryGroups groups;
    std::map<std::string, std::string, std::less<>>* group = nullptr;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (line.size() < 3 || line.back() != ']') {
                return std::nullopt;
            }
            const auto [added, fresh] = groups.try_emplace(std::string(line.substr(1, line.size() - 2)));
            if (!fresh) {
                return std::nullopt;
            }
            group = &added->second;
            continue;
        }
        const auto equals = line.find('=');
        if (group == nullptr || equals == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        auto value = unescaped(trimmed(line.substr(equals + 1)));
        if (key.empty() || !value || !group->try_emplace(std::string(key), std::move(*value)).second) {
            return std::nullopt;
        }
    }
    return groups;
}

std::optional<std::string> escapeDesktopEntryValue(std::string_view value)
{
    if (!text::isValidUtf8(value)) {
        return std::nullopt;
    }
    std::string escaped;
    for (const char character : value) {
        switch (character) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f) {
                return std::nullopt;
            }
            escaped += character;
        }
    }
    // A leading space would be taken for the space around "=".
    if (escaped.starts_with(' ')) {
        escaped.replace(0, 1, "\\s");
    }
    return escaped;
}

std::string execValue(const std::vector<std::string>& arguments)
{
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        const bool quote = argument.empty() || argument.find_first_of(reserved) != std::string::npos;
        if (quote) {
            line += '"';
        }
        for (const char character : argument) {
            if (quote && (character == '"' || character == '`' || character == '$' || character == '\\')) {
                line += '\\';
            }
            line += character;
            if (character == '%') {
                line += '%';
            }
        }
        if (quote) {
            line += '"';
        }
    }
    return line;
}

std::optional<std::vector<std::string>> execArguments(std::string_view exec)
{
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (std::size_t index = 0; index < exec.size(); ++index) {
        const char character = exec[index];
        if (character == '%') {
            if (index + 1 == exec.size() || exec[index + 1] != '%') {
                return std::nullopt; // a field code: nothing here asks for one
            }
            ++index;
            current += '%';
            inArgument = true;
        } else if (quoted) {
            if (character == '"') {
                quoted = false;
            } else if (character == '\\' && index + 1 < exec.size() &&
                std::string_view("\"`$\\").find(exec[index + 1]) != std::string_view::npos) {
                current += exec[++index];
            } else {
                current += character;
            }
        } else if (character == ' ' || character == '\t') {
            if (inArgument) {
                arguments.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
        } else if (character == '"') {
            quoted = true;
            inArgument = true;
        } else {
            current += character;
            inArgument = true;
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    if (inArgument) {
        arguments.push_back(std::move(current));
    }
    return arguments;
}

} // namespace quorvantile::setup

#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::setup {

// A desktop entry as a launcher reads it: group name, then key, then the value with its escapes
// undone.
using DesktopEntryGroups = std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>>;

// Reads a desktop entry: comments and blank lines skipped, white space around "=" and at the ends of
// a value ignored, the escapes \s \n \t \r and \\ undone. Absent when the text is not UTF-8, a line
// is none of group, key, comment or blank, a key comes before any group, a group or a key within one
// repeats, or an escape is unknown.
[[nodiscard]] std::optional<DesktopEntryGroups> parseDesktopEntryGroups(std::string_view text);

// A string value with those escapes applied; absent when the value cannot be written in a desktop
// entry at all (not UTF-8, or a control character that has no escape).
[[nodiscard]] std::optional<std::string> escapeDesktopEntryValue(std::string_view value);

// The Exec value that runs `arguments`: each argument quoted when it holds a character the key
// reserves (and then `"`, `` ` ``, `$` and `\` escaped), `%` written twice. The string escapes come
// on top, when the line is written.
[[nodiscard]] std::string execValue(const std::vector<std::string>& arguments);

// The arguments a launcher runs for an Exec value (string escapes already undone); absent when a
// quote is left open or it holds a field code other than %%.
[[nodiscard]] std::optional<std::vector<std::string>> execArguments(std::string_view exec);

} // namespace quorvantile::setup

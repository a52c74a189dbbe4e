#include "common/linux/ProcessStat.h"

#include "common/Numbers.h"

namespace quorvantile::procfs {
namespace {

template<typename Integer> bool parseInto(std::string_view text, Integer& out)
{
    const auto value = text::parseDecimal<Integer>(text);
    if (value) {
        out = *value;
    }
    return value.has_value();
}

} // namespace

std::optional<StatFields> parseStat(std::string_view text)
{
    const auto open = text.find(" (");
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
        return std::nullopt;
    }
    StatFields fields;
    const auto pid = text::parseDecimal<std::int32_t>(text.substr(0, open));
    if (!pid) {
        return std::nullopt;
    }
    fields.pid = *pid;
    fields.comm = text.substr(open + 2, close - open - 2);

    // The rest is " S ppid pgrp ...": single spaces between fields, a line feed at the end. The
    // state is field 3 of the proc(5) numbering; the numbers we need are fields 14, 15, 20 and 22.
    std::string_view rest = text.substr(close + 1);
    if (rest.ends_with('\n')) {
        rest.remove_suffix(1);
    }
    constexpr int kStateField = 3;
    constexpr int kUserTicksField = 14;
    constexpr int kSystemTicksField = 15;
    constexpr int kThreadsField = 20;
    constexpr int kStartTicksField = 22;
    int field = kStateField - 1;
    bool ok = true;
    while (field < kStartTicksField) {
        if (!rest.starts_with(' ')) {
            return std::nullopt;
        }
        rest.remove_prefix(1);
        const auto end = std::min(rest.find(' '), rest.size());
        const std::string_view token = rest.substr(0, end);
        rest.remove_prefix(end);
        ++field;
        switch (field) {
        case kStateField:
            ok = token.size() == 1;
            fields.state = token.empty() ? '\0' : token.front();
            break;
        case kUserTicksField:
            ok = parseInto(token, fields.userTicks);
            break;
        case kSystemTicksField:
            ok = parseInto(token, fields.systemTicks);
            break;
        case kThreadsField:
            ok = parseInto(token, fields.threads);
            break;
        case kStartTicksField:
            ok = parseInto(token, fields.startTicks);
            break;
        default:
            ok = !token.empty();
            break;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    return fields;
}

} // namespace quorvantile::procfs

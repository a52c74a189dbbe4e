#include "QueryMessages.h"

#include <cstdio>

namespace quorvantile::query::messages {

std::string failure(const Failure& failure, std::string_view socketPath, double timeoutSeconds)
{
    switch (failure.reason) {
    case FailureReason::notListening:
        return "no companion is listening at " + std::string(socketPath) +
            "; start it with quorvantile-sensors (the settings window) or quorvantile-sensors --manual-diagnostics";
    case FailureReason::closed:
        // The companion's only way to refuse: it says why on its status lines, and nowhere else.
        return "the companion closed the connection without a reply (it refused this program or could not answer "
               "soundly); run quorvantile-sensors --manual-diagnostics in its place to see why";
    case FailureReason::timedOut: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
        return "the companion did not answer within " + std::string(seconds) +
            " s; try again, or wait longer with --timeout";
    }
    case FailureReason::other:
        break;
    }
    return failure.message;
}

std::string noGroupContainer()
{
    return "cannot find or create the group container directory; set XDG_RUNTIME_DIR or name the socket with "
           "--socket PATH";
}

std::string unreadableReply(std::string_view request)
{
    return "the " + std::string(request) +
        " reply does not read as this version's record; --json prints it as "
        "received";
}

std::string invalidJson() { return "the reply is not valid JSON; --json prints it as received"; }

std::string unreadableBody() { return "cannot read the request body from standard input"; }

std::string cannotWrite() { return "cannot write the output"; }

std::string errorLine(std::string_view message) { return "quorvantile-sensors-query: " + std::string(message) + '\n'; }

std::string usageLine(std::string_view message) { return errorLine(std::string(message) + " (see --help)"); }

} // namespace quorvantile::query::messages

// quorvantile-sensors-query: asks the running companion for one record and prints its JSON.
#include "QueryClient.h"

#include "companion/GroupContainer.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kExitUsage = 2;
constexpr double kDefaultTimeoutSeconds = 5.0;

void printUsage(std::FILE* stream)
{
    std::fprintf(stream,
        "Usage: quorvantile-sensors-query [--pretty] [--socket PATH] [--timeout SECONDS] REQUEST [BODY]\n"
        "\n"
        "Asks the running sensor companion for one record and prints its JSON.\n"
        "\n"
        "Requests: %s.\n"
        "BODY is the request's JSON text, or - to read it from standard input. A process is named by\n"
        "its pid and start time, as the inventory lists them.\n"
        "\n"
        "  --pretty           indent the JSON for people (default: compact, as sent)\n"
        "  --socket PATH      the companion's socket (default: the one in the group container)\n"
        "  --timeout SECONDS  give up after this long (default: 5)\n"
        "  --help             show this text\n"
        "\n"
        "Examples:\n"
        "  quorvantile-sensors-query --pretty snapshot\n"
        "  quorvantile-sensors-query battery\n"
        "  quorvantile-sensors-query inventory\n"
        "  quorvantile-sensors-query process \\\n"
        "      '[{\"pid\":4242,\"startSeconds\":1765000000,\"startMicroseconds\":120000}]'\n"
        "  echo '{\"process\":{\"pid\":4242,\"startSeconds\":1765000000,\"startMicroseconds\":120000},\n"
        "        \"bundleIdentifier\":\"org.gnome.TextEditor\"}' | quorvantile-sensors-query quit -\n",
        std::string(quorvantile::query::requestNames()).c_str());
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "quorvantile-sensors-query: %s (see --help)\n", message.c_str());
    return kExitUsage;
}

int run(int argc, char** argv)
{
    namespace query = quorvantile::query;
    bool pretty = false;
    std::string socketPath;
    double timeout = kDefaultTimeoutSeconds;
    std::vector<std::string> operands;

    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            printUsage(stdout);
            return 0;
        }
        if (argument == "--pretty") {
            pretty = true;
        } else if (argument == "--socket" || argument == "--timeout") {
            if (index + 1 >= argc) {
                return usageError(argument + " needs a value");
            }
            const std::string value = argv[++index];
            if (argument == "--socket") {
                socketPath = value;
            } else {
                try {
                    std::size_t used = 0;
                    timeout = std::stod(value, &used);
                    if (used != value.size() || !(timeout > 0) || timeout > 3600) {
                        throw std::invalid_argument(value);
                    }
                } catch (const std::logic_error&) {
                    return usageError("--timeout needs a number of seconds from above 0 to 3600");
                }
            }
        } else if (argument.size() > 1 && argument[0] == '-' && argument != "-") {
            return usageError("unknown option " + argument);
        } else {
            operands.push_back(argument);
        }
    }
    if (operands.empty()) {
        return usageError("name a request");
    }
    const auto request = query::requestNamed(operands[0]);
    if (!request) {
        return usageError("unknown request " + operands[0]);
    }
    if (operands.size() != (request->hasBody ? 2U : 1U)) {
        return usageError(request->hasBody ? operands[0] + " needs one BODY" : operands[0] + " takes no BODY");
    }
    std::string body;
    if (request->hasBody) {
        body = operands[1];
        if (body == "-") {
            body.assign(std::istreambuf_iterator<char>(std::cin), {});
        }
    }
    if (socketPath.empty()) {
        const auto path = quorvantile::companionSocketPath(quorvantile::readEnvironment());
        if (!path) {
            std::fputs("quorvantile-sensors-query: cannot find or create the group container directory\n", stderr);
            return 1;
        }
        socketPath = *path;
    }

    const auto outcome = query::ask(socketPath, *request, body, timeout);
    if (const auto* failure = std::get_if<query::Failure>(&outcome)) {
        std::fprintf(stderr, "quorvantile-sensors-query: %s\n", failure->message.c_str());
        return 1;
    }
    const std::string& reply = std::get<std::string>(outcome);
    if (pretty) {
        const auto document = nlohmann::ordered_json::parse(reply, nullptr, /*allow_exceptions=*/false);
        if (document.is_discarded()) {
            std::fputs("quorvantile-sensors-query: the reply is not valid JSON\n", stderr);
            return 1;
        }
        std::cout << document.dump(2) << '\n';
    } else {
        std::cout << reply << '\n';
    }
    return std::cout.flush() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvantile-sensors-query: %s\n", error.what());
        return 1;
    }
}

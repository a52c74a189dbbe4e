#pragma once

#include "CompanionProcess.h"
#include "SetupTestSupport.h"

#include <sys/stat.h>

namespace quorvantile::setup::testing {

// Small shell scripts standing in for the server child. Each records its arguments beside itself
// in `<script>.arguments` and its pid in `<script>.pid` before running `body`.
struct ChildScripts : quorvantile::testing::TemporaryDirectory {
    [[nodiscard]] std::string write(const std::string& name, const std::string& body) const
    {
        const auto path = *this / name;
        std::ofstream(path) << "#!/bin/sh\n"
                               "printf '%s\\n' \"$#\" \"$@\" > \"$0.arguments\"\n"
                               "echo $$ > \"$0.pid\"\n"
                            << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
};

// A server's ready line, after which it waits for the end of its input.
inline constexpr const char* kReadyThenWaitForEndOfInput = R"(printf '{"ready":true}\n'; exec cat >/dev/null)";

} // namespace quorvantile::setup::testing

#pragma once

#include "common/UniqueFd.h"

namespace quorvantile {

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// Makes a pipe whose two ends are close-on-exec (and non-blocking when asked), so that no child
// started meanwhile inherits them. False, with errno set, when it cannot be made; `failedCall`, when
// given, then names the call that refused, for the error a caller reports.
[[nodiscard]] bool makePipe(Pipe& pipe, bool nonBlocking = false, const char** failedCall = nullptr);

} // namespace quorvantile

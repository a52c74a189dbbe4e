#pragma once

#include "setup/SetupError.h"

#include <functional>
#include <memory>
#include <string>

namespace quorvantile::setup {

// A child the platform started and watches until it ends.
class WatchedChild {
public:
    // Stops watching (a child that has ended by then is still reported to its `onExit`); never
    // waits for the child and never signals it.
    virtual ~WatchedChild() = default;
    // False once the child has ended, reaped or not.
    [[nodiscard]] virtual bool running() const = 0;
    // Sends signal `number` while the child is known to be alive and unreaped, so that a process that
    // was given its id afterwards can never receive it. True when delivered or when the child had
    // already ended.
    [[nodiscard]] virtual bool signal(int number) = 0;
};

// How the platform starts and watches the server child.
class ChildLauncher {
public:
    virtual ~ChildLauncher() = default;
    // Starts `executable` with the one argument `argument`, `input` as its standard input and
    // `output` as its standard output (standard error stays this process's), and watches it:
    // `onExit` is called once, from any thread, when it has ended and been reaped. A child that was
    // started but cannot be watched is killed, reaped and reported to `onExit` before the error is
    // returned.
    [[nodiscard]] virtual Outcome launch(const std::string& executable, const std::string& argument, int input,
        int output, std::function<void()> onExit, std::unique_ptr<WatchedChild>& child) = 0;
};

} // namespace quorvantile::setup

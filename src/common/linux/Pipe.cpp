#include "common/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace quorvantile {

bool makePipe(Pipe& pipe, bool nonBlocking, const char** failedCall)
{
    // Both flags come with the pipe itself: no moment in which another thread's child inherits it.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)) != 0) {
        if (failedCall != nullptr) {
            *failedCall = "pipe2";
        }
        return false;
    }
    pipe.read.reset(ends[0]);
    pipe.write.reset(ends[1]);
    return true;
}

} // namespace quorvantile

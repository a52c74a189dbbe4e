#include "common/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quorvantile {
namespace {

bool addFlags(int fd, bool nonBlocking)
{
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    return !nonBlocking || (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0);
}

} // namespace

bool makePipe(Pipe& pipe, bool nonBlocking, const char** failedCall)
{
    // macOS has no pipe2: the flags follow the pipe. The children this program starts get only the
    // descriptors named for them (POSIX_SPAWN_CLOEXEC_DEFAULT), so none inherits an end meanwhile.
    int ends[2];
    if (::pipe(ends) != 0) {
        if (failedCall != nullptr) {
            *failedCall = "pipe";
        }
        return false;
    }
    UniqueFd read(ends[0]);
    UniqueFd write(ends[1]);
    if (!addFlags(read.get(), nonBlocking) || !addFlags(write.get(), nonBlocking)) {
        const int error = errno;
        if (failedCall != nullptr) {
            *failedCall = "fcntl";
        }
        read.reset();
        write.reset();
        errno = error;
        return false;
    }
    pipe.read = std::move(read);
    pipe.write = std::move(write);
    return true;
}

} // namespace quorvantile

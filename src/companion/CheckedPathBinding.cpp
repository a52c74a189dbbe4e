#include "companion/CheckedPathBinding.h"

#include "companion/SensorTransport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvantile {
namespace {

bool sameFile(const struct stat& left, const struct stat& right)
{
    return left.st_dev == right.st_dev && left.st_ino == right.st_ino;
}

// Whether `status` is a socket of this user: what the bind makes.
bool ownSocket(const struct stat& status) { return S_ISSOCK(status.st_mode) && status.st_uid == geteuid(); }

// Whether `path` names, without following a final link, the directory whose status is `checked`.
bool namesDirectory(const std::string& path, const struct stat& checked)
{
    struct stat now { };
    return lstat(path.c_str(), &now) == 0 && S_ISDIR(now.st_mode) && sameFile(now, checked);
}

// Removes the socket a bind that failed its proof made, where it can be found. The caller cleared
// the name in the checked directory before the bind, so a socket of ours there is this one;
// otherwise the bind put it where the path led.
void removeStraySocket(int directory, const char* name, const std::string& socketPath)
{
    struct stat status { };
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && ownSocket(status)) {
        static_cast<void>(unlinkat(directory, name, 0));
    } else if (lstat(socketPath.c_str(), &status) == 0 && ownSocket(status)) {
        static_cast<void>(unlink(socketPath.c_str()));
    }
}

} // namespace

std::optional<std::string> bindByPathInDirectory(
    int socket, int directory, const std::string& path, std::string_view name)
{
    struct stat checked { };
    if (fstat(directory, &checked) != 0) {
        return std::strerror(errno);
    }
    const std::string entry(name);
    const std::string socketPath = path + "/" + entry;
    const auto address = SensorTransport::address(socketPath);
    if (!address) {
        return "the socket path is longer than 103 bytes";
    }
    if (!namesDirectory(path, checked)) {
        return "the path no longer names the directory that was checked";
    }
    if (bind(socket, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        return std::strerror(errno);
    }
    struct stat throughDirectory { };
    struct stat throughPath { };
    if (fstatat(directory, entry.c_str(), &throughDirectory, AT_SYMLINK_NOFOLLOW) == 0 &&
        lstat(socketPath.c_str(), &throughPath) == 0 && ownSocket(throughDirectory) &&
        sameFile(throughDirectory, throughPath)) {
        return std::nullopt;
    }
    // A socket outside the checked directory is not one to serve on, nor one to leave behind.
    removeStraySocket(directory, entry.c_str(), socketPath);
    return "the socket did not land in the directory that was checked";
}

} // namespace quorvantile

#include "companion/PrivateDirectory.h"

#include "companion/DirectoryBinding.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvantile {
namespace {

std::optional<std::string> problemOf(int fd, const std::string& path)
{
    struct stat status { };
    if (fstat(fd, &status) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return path + " is not a directory";
    }
    if (status.st_uid != geteuid()) {
        return path + " belongs to uid " + std::to_string(status.st_uid) + ", not to uid " + std::to_string(geteuid());
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        constexpr int kOctalDigits = 4;
        char mode[kOctalDigits + 2] = {};
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return path + " has mode " + mode + ": group and others must have no access";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> openPrivateDirectory(const std::string& path, UniqueFd& directory)
{
    directory = openLookupDirectory(path);
    if (!directory) {
        return path + ": " + std::strerror(errno);
    }
    auto problem = problemOf(directory.get(), path);
    if (problem) {
        directory.reset();
    }
    return problem;
}

std::optional<std::string> privateDirectoryProblem(const std::string& path)
{
    UniqueFd directory;
    return openPrivateDirectory(path, directory);
}

} // namespace quorvantile

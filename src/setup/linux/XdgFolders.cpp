#include "setup/linux/XdgFolders.h"

#include "common/FileText.h"
#include "common/UniqueFd.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quorvantile::setup {
std::optional<std::filesystem::path> configurationHome(const Environment& environment)
{
    if (environment.configHome) {
        return std::filesystem::path(*environment.configHome);
    }
    if (environment.home) {
        return std::filesystem::path(*environment.home) / ".config";
    }
    const passwd* entry = getpwuid(geteuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(entry->pw_dir) / ".config";
}

std::optional<std::filesystem::path> applicationExecutable()
{
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.empty()) {
        return std::nullopt;
    }
    return executable;
}

Outcome makeFolders(const std::filesystem::path& folder)
{
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
        return {};
    }
    if (errno != ENOENT || !folder.has_relative_path()) {
        return SetupError::system("mkdir", errno);
    }
    if (Outcome parent = makeFolders(folder.parent_path()); !parent) {
        return parent;
    }
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
        return {};
    }
    return SetupError::system("mkdir", errno);
}

Outcome writeFileAtomically(const std::filesystem::path& file, std::string_view contents)
{
    const auto folder = file.parent_path();
    if (Outcome made = makeFolders(folder); !made) {
        return made;
    }
    std::string temporary = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    const UniqueFd descriptor(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!descriptor) {
        return SetupError::system("mkostemp", errno);
    }
    Outcome outcome = writeAll(descriptor.get(), contents) ? Outcome {} : SetupError::system("write", errno);
    if (outcome && ::fsync(descriptor.get()) != 0) {
        outcome = SetupError::system("fsync", errno);
    }
    if (outcome && ::rename(temporary.c_str(), file.c_str()) != 0) {
        outcome = SetupError::system("rename", errno);
    }
    if (!outcome) {
        ::unlink(temporary.c_str());
        return outcome;
    }
    // The rename itself becomes durable with the folder.
    const UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory) {
        (void)::fsync(directory.get()); // the file is in place; a folder flush failure changes nothing we can act on
    }
    return {};
}

} // namespace quorvantile::setup

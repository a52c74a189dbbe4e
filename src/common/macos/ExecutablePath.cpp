#include "common/ExecutablePath.h"

#include "common/macos/CfObject.h"

#include <sys/param.h>

namespace quorvantile {

std::optional<std::filesystem::path> ownExecutable()
{
    // The main bundle's executable; for a program outside a bundle, the program itself.
    const CFBundleRef bundle = CFBundleGetMainBundle(); // not owned: the Get rule
    if (bundle == nullptr) {
        return std::nullopt;
    }
    const CfObject<CFURLRef> executable(CFBundleCopyExecutableURL(bundle));
    char path[MAXPATHLEN];
    if (!executable ||
        !CFURLGetFileSystemRepresentation(executable.get(), true, reinterpret_cast<UInt8*>(path), sizeof path)) {
        return std::nullopt;
    }
    return std::filesystem::path(path);
}

} // namespace quorvantile

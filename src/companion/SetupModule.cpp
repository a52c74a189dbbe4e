#include "companion/SetupModule.h"

#include "common/ExecutablePath.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

namespace quorvantile {
namespace {

// The build passes the module's folder relative to the executable's own (the same in the build
// tree and when installed) and its file name.
constexpr const char* kModuleRelativeDirectory = QUORVANTILE_MODULE_RELATIVE_DIR;
constexpr const char* kModuleFileName = QUORVANTILE_SETUP_MODULE_FILE_NAME;
constexpr const char* kEntrySymbol = "quorvantile_setup_main";

std::filesystem::path modulePath()
{
    const auto executable = ownExecutable();
    if (!executable) {
        return {};
    }
    return (executable->parent_path() / kModuleRelativeDirectory / kModuleFileName).lexically_normal();
}

} // namespace

int runSetupApplication(bool onDemand)
{
    const auto path = modulePath();
    if (path.empty()) {
        std::fputs("quorvantile-sensors: cannot find this program's own executable\n", stderr);
        return 1;
    }
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "quorvantile-sensors: the settings window is not available: %s\n", dlerror());
        return 1;
    }
    using Entry = int (*)(int);
    auto entry = reinterpret_cast<Entry>(dlsym(module, kEntrySymbol));
    if (entry == nullptr) {
        std::fprintf(stderr, "quorvantile-sensors: %s has no entry point %s\n", path.c_str(), kEntrySymbol);
        dlclose(module);
        return 1;
    }
    const int status = entry(onDemand ? 1 : 0);
    // The module stays loaded: objects it registered may still run at process exit.
    return status;
}

} // namespace quorvantile

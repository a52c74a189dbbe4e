// A library that stands for code injected into a signed client through LD_PRELOAD.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int quorvantileInjected(int value) { return value + 1; }

// Asked to (QUORVANTILE_INJECTED_REPLACE_WITH names a file), it hides once loaded: its own file is
// deleted and a symbolic link to that file takes its path, as if a system library had been preloaded.
__attribute__((constructor)) static void hideOnceLoaded()
{
    const char* replacement = std::getenv("QUORVANTILE_INJECTED_REPLACE_WITH");
    Dl_info loaded {};
    if (replacement == nullptr || dladdr(reinterpret_cast<void*>(&quorvantileInjected), &loaded) == 0 ||
        loaded.dli_fname == nullptr) {
        return;
    }
    // A failure leaves the library deleted without the link: refused all the same.
    if (unlink(loaded.dli_fname) == 0 && symlink(replacement, loaded.dli_fname) != 0) {
        return;
    }
}

// A stand-in for the settings window's module, built only for the install test: it proves that the
// installed executable finds the module at its install place and enters it.
#include <cstdio>

extern "C" __attribute__((visibility("default"))) int quorvantile_setup_main(int onDemand)
{
    std::printf("stand-in setup module: onDemand=%d\n", onDemand);
    return 42;
}

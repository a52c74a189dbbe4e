// A library that stands for code injected into a signed client through LD_PRELOAD.
extern "C" __attribute__((visibility("default"))) int quorvantileInjected(int value) { return value + 1; }

// A verifier module of another build: its interface version is not the one the server expects, so
// the server must refuse it without calling any of its functions.
#include "codesign/VerifierModuleInterface.h"

#include <cstdlib>

namespace {

quorvantile_verifier* create(const char*, std::size_t) { std::abort(); }
int verify(const quorvantile_verifier*, int, quorvantile_receive_signature, void*) { std::abort(); }
void destroy(quorvantile_verifier*) { std::abort(); }

constexpr quorvantile_verifier_functions kFunctions {
    quorvantile::codesign::kVerifierInterfaceVersion + 1, create, verify, destroy};

} // namespace

extern "C" __attribute__((visibility("default"))) const quorvantile_verifier_functions* quorvantile_verifier_module(
    void)
{
    return &kFunctions;
}

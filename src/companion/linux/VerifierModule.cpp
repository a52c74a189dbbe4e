#include "companion/linux/VerifierModule.h"

#include "codesign/VerifierModuleInterface.h"
#include "common/ExecutablePath.h"

#include <dlfcn.h>

#include <algorithm>
#include <utility>

namespace quorvantile {
namespace {

// The build passes the modules' folder relative to the executable's own and the file name.
constexpr const char* kModuleRelativeDirectory = QUORVANTILE_MODULE_RELATIVE_DIR;
constexpr const char* kModuleFileName = QUORVANTILE_VERIFIER_MODULE_FILE_NAME;

std::string loaderError()
{
    const char* text = dlerror();
    return text != nullptr ? std::string(text) : std::string("unknown error");
}

std::string_view view(const quorvantile_text& text)
{
    return text.data != nullptr ? std::string_view(text.data, text.size) : std::string_view();
}

// Copies the module's flattened signature while its texts are valid.
struct Receiver {
    std::optional<codesign::VerifiedSignature> signature;
    bool failed = false;

    static void receive(void* context, const quorvantile_verified_signature* flat) noexcept
    {
        auto& self = *static_cast<Receiver*>(context);
        try {
            codesign::VerifiedSignature copy;
            copy.directory.identifier = view(flat->identifier);
            std::copy(std::begin(flat->digest), std::end(flat->digest), copy.directory.digest.begin());
            copy.directory.contentBytes = flat->content_bytes;
            if (flat->has_team != 0) {
                copy.leafOrganizationalUnit = std::string(view(flat->team));
            }
            for (std::size_t index = 0; index < flat->chain_subject_count; ++index) {
                copy.chainSubjects.emplace_back(view(flat->chain_subjects[index]));
            }
            copy.anchoredAtVendor = flat->anchored_at_vendor != 0;
            copy.validUntilSeconds = flat->valid_until_seconds;
            self.signature = std::move(copy);
        } catch (...) {
            self.failed = true;
        }
    }
};

} // namespace

codesign::Checked<VerifierModule, std::string> VerifierModule::load(
    const std::filesystem::path& path, std::string_view anchorsPem)
{
    if (path.empty()) {
        return std::string("cannot find this program's own executable");
    }
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return loaderError();
    }
    using Entry = const quorvantile_verifier_functions* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(module, codesign::kVerifierEntrySymbol));
    if (entry == nullptr) {
        dlclose(module);
        return path.string() + " has no entry point " + codesign::kVerifierEntrySymbol;
    }
    const quorvantile_verifier_functions* functions = entry();
    if (functions == nullptr || functions->version != codesign::kVerifierInterfaceVersion) {
        // Read before the module and its table go away.
        std::string reason = path.string() + " is of another build (interface version " +
            (functions == nullptr ? std::string("none") : std::to_string(functions->version)) + ", expected " +
            std::to_string(codesign::kVerifierInterfaceVersion) + ")";
        dlclose(module);
        return reason;
    }
    quorvantile_verifier* verifier = functions->create(anchorsPem.data(), anchorsPem.size());
    if (verifier == nullptr) {
        // The module stays: the crypto library may have initialised itself already.
        return path.string() + " could not make a verifier";
    }
    return VerifierModule(functions, verifier);
}

VerifierModule::VerifierModule(VerifierModule&& other) noexcept
    : functions_(std::exchange(other.functions_, nullptr)), verifier_(std::exchange(other.verifier_, nullptr))
{
}

VerifierModule& VerifierModule::operator=(VerifierModule&& other) noexcept
{
    if (this != &other) {
        if (verifier_ != nullptr) {
            functions_->destroy(verifier_);
        }
        functions_ = std::exchange(other.functions_, nullptr);
        verifier_ = std::exchange(other.verifier_, nullptr);
    }
    return *this;
}

VerifierModule::~VerifierModule()
{
    if (verifier_ != nullptr) {
        functions_->destroy(verifier_);
    }
}

codesign::Checked<codesign::VerifiedSignature, codesign::SignatureError> VerifierModule::verify(int fd) const
{
    Receiver receiver;
    const int status = functions_->verify(verifier_, fd, &Receiver::receive, &receiver);
    if (status == codesign::kVerifiedStatus) {
        if (receiver.signature && !receiver.failed) {
            return std::move(*receiver.signature);
        }
        return codesign::SignatureError::unreadable;
    }
    const int error = status - 1;
    if (error < 0 || error > static_cast<int>(codesign::kLastSignatureError)) {
        return codesign::SignatureError::unreadable;
    }
    return static_cast<codesign::SignatureError>(error);
}

std::filesystem::path verifierModulePath()
{
    const auto executable = ownExecutable();
    if (!executable) {
        return {};
    }
    return (executable->parent_path() / kModuleRelativeDirectory / kModuleFileName).lexically_normal();
}

} // namespace quorvantile

// quorvantile-codesign: signs executables with an appended signature, verifies them against vendor
// anchors and a requirement, and shows what a signature says.

#include "codesign/Requirement.h"
#include "codesign/Signer.h"
#include "codesign/Verifier.h"
#include "common/FileText.h"
#include "common/Numbers.h"
#include "common/Text.h"
#include "common/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace codesign = quorvantile::codesign;
using quorvantile::UniqueFd;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Certificate, chain, key and anchor files are small; a larger one is a mistake.
constexpr std::size_t kMaximumPemFileBytes = 1024 * 1024;

constexpr std::string_view kProgram = "quorvantile-codesign";

constexpr std::string_view kUsage = "usage: quorvantile-codesign COMMAND [OPTIONS] FILE\n"
                                    "\n"
                                    "commands:\n"
                                    "  sign     sign FILE in place (an existing signature is replaced)\n"
                                    "  verify   check FILE's signature against vendor anchors and a requirement\n"
                                    "  display  show what FILE's signature says, without deciding whether to trust it\n"
                                    "\n"
                                    "'quorvantile-codesign COMMAND --help' describes a command's options;\n"
                                    "'quorvantile-codesign --version' prints the version.\n";

constexpr std::string_view kSignUsage =
    "usage: quorvantile-codesign sign --identifier ID --certificate CERT.pem --key KEY.pem [--chain CHAIN.pem] FILE\n"
    "\n"
    "Signs FILE in place as ID with the code-signing certificate CERT.pem and its unencrypted private key\n"
    "KEY.pem. CHAIN.pem holds intermediate certificates that link CERT.pem to the vendor anchor. The file\n"
    "is rewritten atomically and keeps its mode; an existing signature is replaced.\n";

constexpr std::string_view kVerifyUsage =
    "usage: quorvantile-codesign verify --anchors ANCHORS.pem [--requirement TEXT] FILE\n"
    "\n"
    "Exits with status 0 when FILE carries a valid signature whose certificate chains to one of the\n"
    "anchors in ANCHORS.pem and, if given, satisfies the requirement TEXT, for example\n"
    "  anchor apple generic and certificate leaf[subject.OU] = \"7Q4KX2M8PZ\" and identifier "
    "\"com.zembo.quorvantile\"\n"
    "Otherwise prints the reason and exits with status 1.\n";

constexpr std::string_view kDisplayUsage =
    "usage: quorvantile-codesign display FILE\n"
    "\n"
    "Prints the identifier, team, certificate subjects and hash that FILE's signature\n"
    "claims, and whether the hash matches the file. It does not check the certificate\n"
    "chain: use verify for that.\n";

// Certificate texts come from the file being examined: never let them drive the terminal.
std::string escapedForTerminal(std::string_view text)
{
    if (!quorvantile::text::containsControlCharacters(text)) {
        return std::string(text);
    }
    std::string escaped;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            escaped += character;
        } else {
            escaped += "\\x" + quorvantile::text::hexadecimal(std::span(&byte, 1));
        }
    }
    return escaped;
}

int usageError(std::string_view command, std::string_view message)
{
    std::cerr << kProgram << ": " << command << ": " << message << " (see '" << kProgram << ' ' << command
              << " --help')\n";
    return kExitUsage;
}

int failure(std::string_view command, std::string_view message)
{
    std::cerr << kProgram << ": " << command << ": " << message << '\n';
    return kExitFailure;
}

struct Arguments {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> operands;
    bool help = false;
};

// Parses `--name VALUE`, `--name=VALUE` and `--help`; absent (with `error` set) on an unknown or
// repeated option, or a missing value.
std::optional<Arguments> parseArguments(
    const std::vector<std::string_view>& words, const std::set<std::string_view>& known, std::string& error)
{
    Arguments arguments;
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string_view word = words[index];
        if (word == "--help" || word == "-h") {
            arguments.help = true;
            continue;
        }
        if (word == "--") {
            for (++index; index < words.size(); ++index) {
                arguments.operands.emplace_back(words[index]);
            }
            break;
        }
        if (word.size() < 2 || word.substr(0, 2) != "--") {
            arguments.operands.emplace_back(word);
            continue;
        }
        std::string_view name = word.substr(2);
        std::optional<std::string_view> value;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        if (known.count(name) == 0) {
            error = "unknown option --" + std::string(name);
            return std::nullopt;
        }
        if (!value) {
            if (index + 1 == words.size()) {
                error = "option --" + std::string(name) + " needs a value";
                return std::nullopt;
            }
            value = words[++index];
        }
        if (!arguments.options.emplace(std::string(name), std::string(*value)).second) {
            error = "option --" + std::string(name) + " is given twice";
            return std::nullopt;
        }
    }
    return arguments;
}

std::optional<std::string> option(const Arguments& arguments, std::string_view name)
{
    const auto found = arguments.options.find(name);
    if (found == arguments.options.end()) {
        return std::nullopt;
    }
    return found->second;
}

// Reads a small text file whole; absent with `error` set otherwise.
std::optional<std::string> readSmallFile(const std::string& path, std::string& error)
{
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat status { };
    if (!fd || fstat(fd.get(), &status) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) > kMaximumPemFileBytes) {
        error = path + " is not a regular file of at most 1 MiB";
        return std::nullopt;
    }
    std::string text;
    const auto read = quorvantile::readFileStart(fd.get(), kMaximumPemFileBytes + 1, text);
    if (!read) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (read->size() > kMaximumPemFileBytes) {
        error = path + " is larger than 1 MiB"; // it grew after fstat
        return std::nullopt;
    }
    text.resize(read->size());
    return text;
}

UniqueFd openForReading(const std::string& path)
{
    return UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

int sign(const std::vector<std::string_view>& words)
{
    constexpr std::string_view command = "sign";
    std::string error;
    const auto arguments = parseArguments(words, {"identifier", "certificate", "key", "chain"}, error);
    if (!arguments) {
        return usageError(command, error);
    }
    if (arguments->help) {
        std::cout << kSignUsage;
        return 0;
    }
    const auto identifier = option(*arguments, "identifier");
    const auto certificatePath = option(*arguments, "certificate");
    const auto keyPath = option(*arguments, "key");
    const auto chainPath = option(*arguments, "chain");
    if (!identifier || !certificatePath || !keyPath) {
        return usageError(command, "--identifier, --certificate and --key are required");
    }
    if (arguments->operands.size() != 1) {
        return usageError(command, "exactly one FILE is required");
    }
    const auto certificate = readSmallFile(*certificatePath, error);
    const auto key = certificate ? readSmallFile(*keyPath, error) : std::nullopt;
    if (!certificate || !key) {
        return failure(command, error);
    }
    std::optional<std::string> chain;
    if (chainPath) {
        chain = readSmallFile(*chainPath, error);
        if (!chain) {
            return failure(command, error);
        }
    }
    const auto identity = codesign::loadSigningIdentity(
        *certificate, *key, chain ? std::optional<std::string_view>(*chain) : std::nullopt);
    if (!identity) {
        return failure(command, identity.error().message);
    }
    const std::string& file = arguments->operands.front();
    const auto signedLayout = codesign::signFile(file, *identifier, *identity);
    if (!signedLayout) {
        return failure(command, signedLayout.error().message);
    }
    return 0;
}

int verify(const std::vector<std::string_view>& words)
{
    constexpr std::string_view command = "verify";
    std::string error;
    const auto arguments = parseArguments(words, {"anchors", "requirement"}, error);
    if (!arguments) {
        return usageError(command, error);
    }
    if (arguments->help) {
        std::cout << kVerifyUsage;
        return 0;
    }
    const auto anchorsPath = option(*arguments, "anchors");
    if (!anchorsPath) {
        return usageError(command, "--anchors is required");
    }
    if (arguments->operands.size() != 1) {
        return usageError(command, "exactly one FILE is required");
    }
    std::optional<codesign::Requirement> requirement;
    if (const auto text = option(*arguments, "requirement")) {
        requirement = codesign::parseRequirement(*text);
        if (!requirement) {
            return usageError(command, "the requirement is not one this verifier understands");
        }
    }
    const auto anchors = readSmallFile(*anchorsPath, error);
    if (!anchors) {
        return failure(command, error);
    }
    const codesign::SignatureVerifier verifier(*anchors);
    if (!verifier.hasAnchors()) {
        return failure(command, *anchorsPath + " holds no PEM certificate, or a damaged one");
    }
    const std::string& file = arguments->operands.front();
    const UniqueFd fd = openForReading(file);
    if (!fd) {
        return failure(command, "cannot open " + file + ": " + std::strerror(errno));
    }
    const auto signature = verifier.verify(fd.get());
    if (!signature) {
        return failure(command, file + ": " + std::string(codesign::describe(signature.error())));
    }
    if (requirement && !codesign::satisfies(*requirement, *signature)) {
        return failure(command, file + ": the signature is valid but does not satisfy the requirement");
    }
    std::cout << file << ": valid signature of \"" << signature->directory.identifier << "\"";
    if (signature->leafOrganizationalUnit) {
        std::cout << " (team \"" << escapedForTerminal(*signature->leafOrganizationalUnit) << "\")";
    }
    std::cout << (requirement ? ", requirement satisfied\n" : "\n");
    return 0;
}

int display(const std::vector<std::string_view>& words)
{
    constexpr std::string_view command = "display";
    std::string error;
    const auto arguments = parseArguments(words, {}, error);
    if (!arguments) {
        return usageError(command, error);
    }
    if (arguments->help) {
        std::cout << kDisplayUsage;
        return 0;
    }
    if (arguments->operands.size() != 1) {
        return usageError(command, "exactly one FILE is required");
    }
    const std::string& file = arguments->operands.front();
    const UniqueFd fd = openForReading(file);
    if (!fd) {
        return failure(command, "cannot open " + file + ": " + std::strerror(errno));
    }
    const auto description = codesign::describeSignature(fd.get());
    if (!description) {
        return failure(command, file + ": " + std::string(codesign::describe(description.error())));
    }
    std::cout << "File:          " << file << '\n';
    if (description->directory) {
        std::cout << "Identifier:    " << description->directory->identifier << '\n';
    } else {
        std::cout << "Identifier:    (the code directory is malformed)\n";
    }
    std::cout << "Team:          " << escapedForTerminal(description->leafOrganizationalUnit.value_or("(none)"))
              << '\n';
    if (description->directory) {
        std::cout << "Hash:          " << codesign::kHashAlgorithmName << ' '
                  << quorvantile::text::hexadecimal(description->directory->digest) << '\n'
                  << "Hash matches:  " << (description->digestMatches ? "yes" : "NO: the file was modified") << '\n';
    }
    std::cout << "Signed bytes:  " << description->layout.contentBytes << '\n'
              << "Signature:     " << description->layout.cmsBytes << " bytes\n";
    for (const std::string& subject : description->certificateSubjects) {
        std::cout << "Certificate:   " << escapedForTerminal(subject) << '\n';
    }
    std::cout << "(Not verified against any anchor: use 'quorvantile-codesign verify'.)\n";
    return 0;
}

int run(int argc, char** argv)
{
    const std::vector<std::string_view> words(argv + std::min(argc, 1), argv + argc);
    if (words.empty()) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string_view command = words.front();
    const std::vector<std::string_view> rest(words.begin() + 1, words.end());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "--version") {
        std::cout << kProgram << ' ' << QUORVANTILE_VERSION << '\n';
        return 0;
    }
    if (command == "sign") {
        return sign(rest);
    }
    if (command == "verify") {
        return verify(rest);
    }
    if (command == "display") {
        return display(rest);
    }
    std::cerr << kProgram << ": unknown command '" << command << "' (see '" << kProgram << " --help')\n";
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& error) { // out of memory, mostly: say so rather than abort
        std::cerr << kProgram << ": " << error.what() << '\n';
        return kExitFailure;
    }
}

#include "sensors/linux/LinuxProcessorBrand.h"

#include "common/FileText.h"
#include "common/UniqueFd.h"
#include "sensors/linux/Sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace quorvantile {
namespace processorbrand {

std::optional<std::string> cpuinfoModelName(std::string_view cpuinfo)
{
    constexpr std::string_view kField = "model name";
    while (!cpuinfo.empty()) {
        const std::size_t end = cpuinfo.find('\n');
        std::string_view line = cpuinfo.substr(0, end);
        cpuinfo = end == std::string_view::npos ? std::string_view {} : cpuinfo.substr(end + 1);
        if (!line.starts_with(kField)) {
            continue;
        }
        line.remove_prefix(kField.size());
        const std::size_t colon = line.find_first_not_of(" \t");
        if (colon == std::string_view::npos || line[colon] != ':') {
            continue;
        }
        line.remove_prefix(colon + 1);
        if (line.starts_with(' ')) {
            line.remove_prefix(1);
        }
        return std::string(line);
    }
    return std::nullopt;
}

std::optional<std::string> appleSiliconBrand(std::string_view compatible)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kSocs = {{
        {"apple,t8103", "Apple M1"},
        {"apple,t6000", "Apple M1 Pro"},
        {"apple,t6001", "Apple M1 Max"},
        {"apple,t6002", "Apple M1 Ultra"},
        {"apple,t8112", "Apple M2"},
        {"apple,t6020", "Apple M2 Pro"},
        {"apple,t6021", "Apple M2 Max"},
        {"apple,t6022", "Apple M2 Ultra"},
    }};
    while (!compatible.empty()) {
        const std::size_t end = compatible.find('\0');
        const std::string_view entry = compatible.substr(0, end);
        compatible = end == std::string_view::npos ? std::string_view {} : compatible.substr(end + 1);
        const auto* found =
            std::find_if(kSocs.begin(), kSocs.end(), [&](const auto& soc) { return soc.first == entry; });
        if (found != kSocs.end()) {
            return std::string(found->second);
        }
    }
    return std::nullopt;
}

} // namespace processorbrand

namespace {

// The first processor's block is all we need; a machine with many cores has a much longer file.
constexpr std::size_t kMaximumCpuinfoBytesRead = 16'384;

// The complete lines among the first bytes of a file.
std::optional<std::string> readCompleteLines(const std::string& path, std::size_t limitBytes)
{
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        return std::nullopt;
    }
    std::string contents;
    const auto text = readFileStart(file.get(), limitBytes, contents);
    if (!text) {
        return std::nullopt;
    }
    contents.resize(text->size());
    if (contents.size() == limitBytes) {
        contents.resize(contents.rfind('\n') + 1); // drop a line cut off by the limit (npos + 1 is 0)
    }
    return contents;
}

} // namespace

LinuxProcessorBrand::LinuxProcessorBrand(std::string procRoot, std::string sysfsRoot)
    : procRoot_(std::move(procRoot)), sysfsRoot_(std::move(sysfsRoot))
{
}

const std::optional<std::string>& LinuxProcessorBrand::brand()
{
    if (!brand_) {
        if (const auto cpuinfo = readCompleteLines(procRoot_ + "/cpuinfo", kMaximumCpuinfoBytesRead)) {
            brand_ = processorbrand::cpuinfoModelName(*cpuinfo);
        }
        if (!brand_) {
            const auto compatible = sysfs::readAttribute(AT_FDCWD, sysfsRoot_ + "/firmware/devicetree/base/compatible");
            brand_ = compatible ? processorbrand::appleSiliconBrand(*compatible) : std::nullopt;
        }
    }
    return brand_;
}

int LinuxProcessorBrand::read(std::span<char> buffer, std::size_t& length)
{
    const auto& text = brand();
    if (!text) {
        return -1;
    }
    // A zero byte inside the text would end it early for the caller, as it does for the platform.
    const std::size_t needed = text->size() + 1;
    if (buffer.empty()) {
        length = needed;
        return 0;
    }
    if (buffer.size() < needed) {
        return -1;
    }
    std::copy(text->begin(), text->end(), buffer.begin());
    buffer[text->size()] = '\0';
    length = needed;
    return 0;
}

std::unique_ptr<ProcessorBrand> systemProcessorBrand(const SystemRoots& roots)
{
    return std::make_unique<LinuxProcessorBrand>(roots.proc, roots.sysfs);
}

} // namespace quorvantile

// Every parser of /proc texts: what the process table and the peer check read about processes
// that anybody may start and name.
#include "FuzzSupport.h"
#include "common/linux/ProcessStat.h"
#include "companion/linux/PeerIntegrity.h"
#include "processes/linux/ProcfsText.h"

#include <string>

using namespace quorvantile;
using fuzzing::inside;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzzing::text(data, size);
    if (const auto stat = procfs::parseStat(text)) {
        require(inside(stat->comm, text), "comm points into the text");
    }
    if (const auto pid = procfs::parsePid(text)) {
        require(*pid >= 1 && std::to_string(*pid) == text, "a pid is its own canonical decimal");
    }
    (void)procfs::parseStatmResidentPages(text);
    (void)procfs::parseStatus(text);
    (void)procfs::parseIo(text);
    (void)procfs::parseBootTime(text);
    if (const auto tracer = parseTracerPid(text)) {
        require(*tracer >= 0, "a tracer pid is not negative");
    }
    if (const auto mappings = parseExecutableMappings(text)) {
        for (const auto& mapping : *mappings) {
            require(mapping.inode != 0 && mapping.path.starts_with('/') && inside(mapping.path, text),
                "file-backed mappings with absolute paths from the text");
        }
    }
    const std::string_view name = text.substr(0, std::min<std::size_t>(text.size(), 64));
    const auto executable = procfs::executableName(text, 31);
    require(executable.size() <= 31 && inside(executable, text), "an executable name within its limit");
    const auto command = procfs::commandName(name, 15);
    require(command.size() <= 15 && inside(command, name), "a command name within its limit");
    return 0;
}

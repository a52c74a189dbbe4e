// The server child's ready line, as the setup side reads it from the child's standard output.
#include "FuzzSupport.h"
#include "setup/ReadyLine.h"

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto buffer = fuzzing::text(data, size);
    const bool ready = static_cast<bool>(setup::parseReadyLine(buffer));
    if (ready) {
        require(buffer.find("\"ready\"") != std::string_view::npos || buffer.find('\\') != std::string_view::npos,
            "a ready line names its ready member");
        // A ready line stays ready whatever follows its line feed.
        const std::string extended = std::string(buffer) + "\n{\"ready\":false}\n";
        require(buffer.find('\n') == std::string_view::npos || static_cast<bool>(setup::parseReadyLine(extended)),
            "what follows the first line does not count");
    }
    return 0;
}

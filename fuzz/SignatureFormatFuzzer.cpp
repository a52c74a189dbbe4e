// The appended signature's trailer (read from the end of any executable a peer runs) and the code
// directory inside the CMS block.
#include "FuzzSupport.h"
#include "codesign/CodeDirectory.h"
#include "codesign/SignatureFormat.h"

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto bytes = fuzzing::text(data, size);
    if (const auto directory = codesign::parseCodeDirectory(bytes)) {
        require(codesign::isValidIdentifier(directory->identifier), "a valid identifier");
        require(codesign::encodeCodeDirectory(*directory) == bytes, "the strict form is the only form");
    }
    // The first eight bytes choose the file's size; the rest is its tail.
    if (size < 8) {
        return 0;
    }
    std::uint64_t fileBytes = 0;
    for (std::size_t index = 0; index < 8; ++index) {
        fileBytes = fileBytes << 8 | data[index];
    }
    const auto tail = bytes.substr(8);
    const auto layout = codesign::parseSignatureTail(tail, fileBytes);
    if (layout) {
        require(tail.size() == codesign::kSignatureTailBytes, "a whole tail");
        require(codesign::encodeSignatureTail(layout->cmsBytes) == tail, "the tail re-encodes the same");
        require(layout->fileBytes == fileBytes && layout->cmsBytes >= 1 &&
                layout->contentBytes + layout->cmsBytes + codesign::kSignatureTailBytes == fileBytes,
            "the parts fill the file");
    }
    return 0;
}

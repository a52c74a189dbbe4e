#include "processes/linux/ExecutableBuildId.h"

#include "common/UniqueFd.h"
#include "common/linux/MountTable.h"
#include "common/linux/MountedFiles.h"

#include <elf.h>
#include <gelf.h>
#include <libelf.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace quorvantile::procfs {
namespace {

// Note segments of real executables are a few hundred bytes; a larger one is not read.
constexpr std::size_t kMaximumNoteSegmentBytes = 64 * 1024;
// Program headers examined in one file.
constexpr std::size_t kMaximumProgramHeaders = 256;

struct ElfEnd {
    void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfEnd>;

// Copies the build id from one note segment; false when the segment holds none.
bool copyBuildId(Elf_Data* notes, std::array<std::uint8_t, kUuidBytes>& uuid)
{
    static constexpr char kOwner[] = "GNU"; // with its terminating zero, as the note stores it
    std::size_t offset = 0;
    GElf_Nhdr header {};
    std::size_t nameOffset = 0;
    std::size_t descriptorOffset = 0;
    while (offset < notes->d_size) {
        const std::size_t next = gelf_getnote(notes, offset, &header, &nameOffset, &descriptorOffset);
        if (next == 0) {
            return false;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(notes->d_buf);
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == sizeof kOwner &&
            std::memcmp(bytes + nameOffset, kOwner, sizeof kOwner) == 0) {
            uuid.fill(0);
            std::copy_n(bytes + descriptorOffset, std::min<std::size_t>(header.n_descsz, uuid.size()), uuid.begin());
            return true;
        }
        offset = next;
    }
    return false;
}

} // namespace

std::array<std::uint8_t, kUuidBytes> executableUuid(int fd)
{
    std::array<std::uint8_t, kUuidBytes> uuid {};
    if (elf_version(EV_CURRENT) == EV_NONE) {
        return uuid;
    }
    // ELF_C_READ reads on demand with pread: only the headers and the notes are touched, and a file
    // that shrinks underneath cannot fault as a mapping could.
    const ElfHandle elf(elf_begin(fd, ELF_C_READ, nullptr));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) {
        return uuid;
    }
    std::size_t headers = 0;
    if (elf_getphdrnum(elf.get(), &headers) != 0) {
        return uuid;
    }
    for (std::size_t index = 0; index < std::min(headers, kMaximumProgramHeaders); ++index) {
        GElf_Phdr header {};
        if (gelf_getphdr(elf.get(), static_cast<int>(index), &header) == nullptr || header.p_type != PT_NOTE ||
            header.p_filesz > kMaximumNoteSegmentBytes) {
            continue;
        }
        Elf_Data* notes = elf_getdata_rawchunk(elf.get(), static_cast<std::int64_t>(header.p_offset), header.p_filesz,
            header.p_align == 8 ? ELF_T_NHDR8 : ELF_T_NHDR);
        if (notes != nullptr && copyBuildId(notes, uuid)) {
            return uuid;
        }
    }
    return uuid;
}

std::array<std::uint8_t, kUuidBytes> processExecutableUuid(int processDirectory)
{
    mounts::MountTable table;
    const auto target = table.refresh() ? mounts::linkTarget(processDirectory, "exe", table) : std::nullopt;
    if (!target || target->mayStall || !S_ISREG(target->status.mode)) {
        return {};
    }
    const UniqueFd executable = mounts::openLinkTarget(processDirectory, "exe", *target, O_RDONLY);
    return executable ? executableUuid(executable.get()) : std::array<std::uint8_t, kUuidBytes> {};
}

} // namespace quorvantile::procfs

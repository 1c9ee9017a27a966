// The program file's version record on Linux: an ELF section ".kelp_version" that the build
// writes (see platform/version_info.h for its layout).
#include "platform/version_info.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {
namespace {

constexpr char kVersionSectionName[] = ".kelp_version";
constexpr char kMagic[8] = {'K', 'E', 'L', 'P', 'V', 'R', 'E', 'C'};
// A program file is a few MB; refuse anything absurd rather than reading it whole.
constexpr off_t kMaxFileBytes = 512LL * 1024 * 1024;

bool readAt(int fd, off_t offset, void* out, std::size_t size) {
    auto* p = static_cast<char*>(out);
    while (size > 0) {
        ssize_t n = pread(fd, p, size, offset);
        if (n <= 0)
            return false;
        p += n;
        offset += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::uint16_t u16At(std::string_view s, std::size_t pos) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[pos]) |
                                      (static_cast<unsigned char>(s[pos + 1]) << 8));
}

}  // namespace

std::string readVersionRecord(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string result;
    do {
        struct stat st {};
        if (fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > kMaxFileBytes)
            break;
        const auto fileSize = static_cast<std::uint64_t>(st.st_size);

        ElfW(Ehdr) eh{};
        if (!readAt(fd, 0, &eh, sizeof eh))
            break;
        if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
            break;
        if (eh.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32))
            break;
        if (eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum)
            break;
        const std::uint64_t tableEnd =
            static_cast<std::uint64_t>(eh.e_shoff) + std::uint64_t{eh.e_shnum} * sizeof(ElfW(Shdr));
        if (tableEnd > fileSize)
            break;

        std::vector<ElfW(Shdr)> sections(eh.e_shnum);
        if (!readAt(fd, static_cast<off_t>(eh.e_shoff), sections.data(),
                    sections.size() * sizeof(ElfW(Shdr))))
            break;
        const ElfW(Shdr)& strtab = sections[eh.e_shstrndx];
        if (strtab.sh_offset + std::uint64_t{strtab.sh_size} > fileSize)
            break;
        std::string names(strtab.sh_size, '\0');
        if (!readAt(fd, static_cast<off_t>(strtab.sh_offset), names.data(), names.size()))
            break;

        for (const auto& sh : sections) {
            if (sh.sh_name >= names.size() || sh.sh_type == SHT_NOBITS)
                continue;
            const char* name = names.c_str() + sh.sh_name;
            if (std::strcmp(name, kVersionSectionName) != 0)
                continue;
            if (sh.sh_offset + std::uint64_t{sh.sh_size} > fileSize || sh.sh_size > 65536)
                break;
            std::string bytes(sh.sh_size, '\0');
            if (readAt(fd, static_cast<off_t>(sh.sh_offset), bytes.data(), bytes.size()))
                result = std::move(bytes);
            break;
        }
    } while (false);
    close(fd);
    return result;
}

std::string programFilePath() {
    return "/proc/self/exe";
}

std::optional<std::string> queryVersionValue(std::string_view record, std::string_view subBlock) {
    if (record.size() < sizeof kMagic + 2 ||
        record.compare(0, sizeof kMagic, kMagic, sizeof kMagic))
        return std::nullopt;
    std::size_t pos = sizeof kMagic;
    const unsigned count = u16At(record, pos);
    pos += 2;
    for (unsigned i = 0; i < count; ++i) {
        if (record.size() - pos < 4)
            return std::nullopt;
        const std::size_t keyLen = u16At(record, pos);
        const std::size_t valueLen = u16At(record, pos + 2);
        pos += 4;
        if (record.size() - pos < keyLen + valueLen)
            return std::nullopt;
        std::string_view key = record.substr(pos, keyLen);
        std::string_view value = record.substr(pos + keyLen, valueLen);
        pos += keyLen + valueLen;
        if (key.size() == subBlock.size() &&
            strncasecmp(key.data(), subBlock.data(), key.size()) == 0)
            return std::string(value);
    }
    return std::nullopt;
}

}  // namespace platform

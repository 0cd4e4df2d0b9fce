#include "pe_version.h"

#include <array>
#include <cstring>

namespace {
constexpr uint16_t kMz = 0x5A4D;
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kNameBit = 0x80000000u;
constexpr uint64_t kSectionHeaderBytes = 40;
constexpr uint64_t kDirectoryHeaderBytes = 16;
constexpr uint64_t kDirectoryEntryBytes = 8;
constexpr uint64_t kDataEntryBytes = 16;
// wLength, wValueLength, wType, then L"VS_VERSION_INFO" and its NUL, padded to 4 bytes.
constexpr std::array<char16_t, 16> kVersionKey = {u'V', u'S', u'_', u'V', u'E', u'R', u'S', u'I',
                                                  u'O', u'N', u'_', u'I', u'N', u'F', u'O', u'\0'};
constexpr uint64_t kVersionKeyOffset = 6;
constexpr uint64_t kVersionValueOffset = 40;

// Little-endian reads that fail instead of reading past the end; offsets are 64-bit so that
// sums of 32-bit fields cannot wrap.
struct Bytes {
    std::span<const unsigned char> b;

    bool has(uint64_t off, uint64_t n) const { return off <= b.size() && n <= b.size() - off; }
    bool u16(uint64_t off, uint16_t& v) const {
        if (!has(off, 2)) return false;
        const auto p = b.subspan(static_cast<std::size_t>(off), 2);  // fits: has() checked it
        v = static_cast<uint16_t>(p[0] | (p[1] << 8));
        return true;
    }
    bool u32(uint64_t off, uint32_t& v) const {
        if (!has(off, 4)) return false;
        const auto p = b.subspan(static_cast<std::size_t>(off), 4);
        v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
            (static_cast<uint32_t>(p[3]) << 24);
        return true;
    }
    Bytes sub(uint64_t off, uint64_t n) const {  // after has(off, n)
        return {b.subspan(static_cast<std::size_t>(off), static_cast<std::size_t>(n))};
    }
};

struct Section {
    uint32_t address;   // VirtualAddress
    uint32_t raw_size;  // SizeOfRawData
    uint32_t raw_offset;
};

struct Image {
    Bytes file;
    uint64_t sections = 0;  // file offset of the section table
    uint16_t section_count = 0;

    // The file's bytes from an RVA to the end of the raw data of the section that holds it
    // (bytes a section has only in memory are zeros, never resource data of ours).
    std::optional<Bytes> from_rva(uint32_t rva) const {
        for (uint16_t i = 0; i < section_count; ++i) {
            const uint64_t at = sections + i * kSectionHeaderBytes;
            Section s{};
            if (!file.u32(at + 12, s.address) || !file.u32(at + 16, s.raw_size) || !file.u32(at + 20, s.raw_offset))
                return std::nullopt;
            if (rva < s.address || rva - s.address >= s.raw_size) continue;
            const uint64_t start = static_cast<uint64_t>(s.raw_offset) + (rva - s.address);
            const uint64_t end = static_cast<uint64_t>(s.raw_offset) + s.raw_size;
            if (!file.has(start, 0)) return std::nullopt;
            const uint64_t last = end < file.b.size() ? end : file.b.size();
            return file.sub(start, last - start);
        }
        return std::nullopt;
    }
};

std::optional<Image> open_image(Bytes file, uint32_t& resource_rva) {
    uint16_t mz = 0;
    uint32_t pe_at = 0, pe = 0;
    if (!file.u16(0, mz) || mz != kMz || !file.u32(0x3C, pe_at) || !file.u32(pe_at, pe) || pe != kPeSignature)
        return std::nullopt;
    const uint64_t header = static_cast<uint64_t>(pe_at) + 4;
    const uint64_t optional = header + 20;
    uint16_t section_count = 0, optional_size = 0, magic = 0;
    if (!file.u16(header + 2, section_count) || !file.u16(header + 16, optional_size) || !file.u16(optional, magic))
        return std::nullopt;
    uint64_t count_at = 0;
    if (magic == kPe32)
        count_at = 92;
    else if (magic == kPe32Plus)
        count_at = 108;
    else
        return std::nullopt;
    uint32_t directory_count = 0;
    const uint64_t directory = count_at + 4 + kResourceDirectoryIndex * 8;
    if (directory + 8 > optional_size || !file.u32(optional + count_at, directory_count) ||
        directory_count <= kResourceDirectoryIndex || !file.u32(optional + directory, resource_rva) ||
        resource_rva == 0)
        return std::nullopt;
    Image image{file, optional + optional_size, section_count};
    if (!file.has(image.sections, section_count * kSectionHeaderBytes)) return std::nullopt;
    return image;
}

// One entry of a resource directory at an offset into the resource bytes: the entry with the
// given ID, or the first entry when no ID is given. Sets whether it leads to a subdirectory and
// its offset (a subdirectory's, or a data entry's).
bool find_entry(Bytes resources, uint32_t at, std::optional<uint32_t> id, bool& subdirectory, uint32_t& offset) {
    uint16_t named = 0, ids = 0;
    if (!resources.u16(at + 12ull, named) || !resources.u16(at + 14ull, ids)) return false;
    const uint64_t entries = at + kDirectoryHeaderBytes;
    const uint32_t count = static_cast<uint32_t>(named) + ids;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = entries + i * kDirectoryEntryBytes;
        uint32_t name = 0, data = 0;
        if (!resources.u32(entry, name) || !resources.u32(entry + 4, data)) return false;
        if (id && ((name & kNameBit) != 0 || name != *id)) continue;
        subdirectory = (data & kSubdirectoryBit) != 0;
        offset = data & ~kSubdirectoryBit;
        return true;
    }
    return false;
}

std::optional<pe_fixed_version> read_block(Bytes block) {
    uint16_t length = 0, value_length = 0;
    if (!block.u16(0, length) || !block.u16(2, value_length) || length > block.b.size()) return std::nullopt;
    const Bytes version = block.sub(0, length);
    for (std::size_t i = 0; i < kVersionKey.size(); ++i) {
        uint16_t c = 0;
        if (!version.u16(kVersionKeyOffset + 2 * i, c) || c != kVersionKey[i]) return std::nullopt;
    }
    if (value_length < sizeof(pe_fixed_version) || !version.has(kVersionValueOffset, sizeof(pe_fixed_version)))
        return std::nullopt;
    std::array<uint32_t, 13> fields{};
    for (std::size_t i = 0; i < fields.size(); ++i) (void)version.u32(kVersionValueOffset + 4 * i, fields[i]);
    if (fields[0] != kFixedVersionSignature) return std::nullopt;
    pe_fixed_version record{};
    std::memcpy(&record, fields.data(), sizeof record);
    return record;
}
}  // namespace

std::optional<pe_fixed_version> read_pe_fixed_version(std::span<const unsigned char> bytes) {
    const Bytes file{bytes};
    uint32_t resource_rva = 0;
    const std::optional<Image> image = open_image(file, resource_rva);
    if (!image) return std::nullopt;
    const std::optional<Bytes> resources = image->from_rva(resource_rva);
    if (!resources) return std::nullopt;
    // Exactly three levels (type, name, language), each of the kind it must be: a tree that
    // points back at itself ends at the first wrong kind instead of looping.
    bool subdirectory = false;
    uint32_t names = 0, languages = 0, data = 0;
    if (!find_entry(*resources, 0, kRtVersion, subdirectory, names) || !subdirectory) return std::nullopt;
    if (!find_entry(*resources, names, std::nullopt, subdirectory, languages) || !subdirectory) return std::nullopt;
    if (!find_entry(*resources, languages, std::nullopt, subdirectory, data) || subdirectory) return std::nullopt;
    uint32_t block_rva = 0, block_size = 0;
    if (!resources->has(data, kDataEntryBytes) || !resources->u32(data, block_rva) ||
        !resources->u32(data + 4ull, block_size))
        return std::nullopt;
    const std::optional<Bytes> block = image->from_rva(block_rva);
    if (!block || block_size > block->b.size()) return std::nullopt;
    return read_block(block->sub(0, block_size));
}

// The version record read from a PE image in memory: a small well-formed image, then the same
// image truncated or corrupted in each field the reader follows. No Windows call: natively under
// AddressSanitizer/UBSan (where every image is an exact-size heap copy, so an out-of-bounds read
// is reported) and under Wine.
#include <doctest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pe_version.h"

namespace {
using Image = std::vector<unsigned char>;

void put16(Image& b, std::size_t at, uint32_t v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put32(Image& b, std::size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// Where the builder put each structure, for the rows that corrupt one of them.
constexpr std::size_t kPe = 0x80;              // "PE\0\0"
constexpr std::size_t kOptional = kPe + 24;    // optional header
constexpr std::size_t kRsrcRva = 0x1000;       // the one section, .rsrc
constexpr std::size_t kRsrcFile = 0x200;       // its raw data in the file
constexpr std::size_t kRoot = kRsrcFile;       // type directory
constexpr std::size_t kNames = kRoot + 0x20;   // name directory of RT_VERSION
constexpr std::size_t kLangs = kNames + 0x18;  // language directory of name 1
constexpr std::size_t kData = kLangs + 0x18;   // data entry
constexpr std::size_t kBlock = kData + 0x10;   // VS_VERSIONINFO
constexpr std::size_t kFixed = kBlock + 40;    // VS_FIXEDFILEINFO
constexpr std::size_t kBlockBytes = 40 + 52;
constexpr std::size_t kRsrcRaw = 0x200;
constexpr std::size_t kSectionTable32 = kOptional + 224;

// A PE32 (or PE32+) DLL with one section holding the resource tree: a leading RT_ICON type entry
// (so the reader has to find RT_VERSION), then RT_VERSION / ID 1 / language 0x409, and a version
// block of version 2.1.3.4.
Image build(bool plus = false) {
    const std::size_t optional_size = plus ? 240 : 224;
    Image b(kRsrcFile + kRsrcRaw, 0);
    put16(b, 0, 0x5A4D);
    put32(b, 0x3C, kPe);
    put32(b, kPe, 0x00004550);
    put16(b, kPe + 4, plus ? 0x8664 : 0x14C);
    put16(b, kPe + 6, 1);  // sections
    put16(b, kPe + 20, static_cast<uint32_t>(optional_size));
    put16(b, kOptional, plus ? 0x20B : 0x10B);
    const std::size_t dirs = kOptional + (plus ? 112 : 96);
    put32(b, dirs - 4, 16);  // NumberOfRvaAndSizes
    put32(b, dirs + 2 * 8, kRsrcRva);
    put32(b, dirs + 2 * 8 + 4, kRsrcRaw);
    const std::size_t section = kOptional + optional_size;
    std::memcpy(&b[section], ".rsrc", 5);
    put32(b, section + 8, kRsrcRaw);
    put32(b, section + 12, kRsrcRva);
    put32(b, section + 16, kRsrcRaw);
    put32(b, section + 20, kRsrcFile);
    // Type directory: two ID entries, RT_ICON (3) first.
    put16(b, kRoot + 14, 2);
    put32(b, kRoot + 16, 3);
    put32(b, kRoot + 20, 0x80000000u | (kNames - kRsrcFile));
    put32(b, kRoot + 24, 16);
    put32(b, kRoot + 28, 0x80000000u | (kNames - kRsrcFile));
    put16(b, kNames + 14, 1);
    put32(b, kNames + 16, 1);
    put32(b, kNames + 20, 0x80000000u | (kLangs - kRsrcFile));
    put16(b, kLangs + 14, 1);
    put32(b, kLangs + 16, 0x409);
    put32(b, kLangs + 20, static_cast<uint32_t>(kData - kRsrcFile));
    put32(b, kData, static_cast<uint32_t>(kRsrcRva + (kBlock - kRsrcFile)));
    put32(b, kData + 4, kBlockBytes);
    put16(b, kBlock, kBlockBytes);
    put16(b, kBlock + 2, 52);
    const char16_t key[] = u"VS_VERSION_INFO";
    for (std::size_t i = 0; i < std::size(key); ++i) put16(b, kBlock + 6 + 2 * i, key[i]);
    const uint32_t fixed[13] = {0xFEEF04BD, 0x10000, 0x20001, 0x30004, 0x20001, 0x30004, 0x3F, 0, 0x40004, 2, 0, 0, 0};
    for (std::size_t i = 0; i < 13; ++i) put32(b, kFixed + 4 * i, fixed[i]);
    return b;
}

// The reader over an exact-size heap copy, so that AddressSanitizer sees a read past its end.
std::optional<pe_fixed_version> read(const Image& image) {
    const auto copy = std::make_unique<unsigned char[]>(image.size());
    if (!image.empty()) std::memcpy(copy.get(), image.data(), image.size());
    return read_pe_fixed_version({copy.get(), image.size()});
}
}  // namespace

TEST_CASE("a well-formed image, PE32 and PE32+: the record as the resource holds it") {
    for (bool plus : {false, true}) {
        CAPTURE(plus);
        const std::optional<pe_fixed_version> v = read(build(plus));
        REQUIRE(v.has_value());
        CHECK(v->signature == kFixedVersionSignature);
        CHECK(v->file_version_ms == 0x20001);
        CHECK(v->file_version_ls == 0x30004);
        CHECK(v->product_version_ls == 0x30004);
        CHECK(v->file_os == 0x40004);
        CHECK(v->file_type == 2);
    }
    // Without the leading RT_ICON entry too; and a named entry in the name level is taken as
    // the first one (the resource compiler's VS_VERSION_INFO is ID 1, but any first one counts).
    Image b = build();
    put16(b, kRoot + 14, 1);
    put32(b, kRoot + 16, 16);
    put32(b, kRoot + 20, 0x80000000u | (kNames - kRsrcFile));
    CHECK(read(b).has_value());
    put16(b, kNames + 12, 1);
    put16(b, kNames + 14, 0);
    put32(b, kNames + 16, 0x80000000u | 0x1F0);
    CHECK(read(b).has_value());
}

TEST_CASE("truncated or corrupt images have no version and are never read outside their bytes") {
    struct Row {
        const char* what;
        std::function<void(Image&)> spoil;
    };
    const Row rows[] = {
        {"empty", [](Image& b) { b.clear(); }},
        {"only the DOS header's first bytes", [](Image& b) { b.resize(0x3E); }},
        {"not MZ", [](Image& b) { put16(b, 0, 0x4D5A); }},
        {"PE header offset past the end", [](Image& b) { put32(b, 0x3C, 0xFFFFFFFEu); }},
        {"PE header offset at the last bytes", [](Image& b) { put32(b, 0x3C, static_cast<uint32_t>(b.size() - 2)); }},
        {"no PE signature", [](Image& b) { put32(b, kPe, 0x00004551); }},
        {"cut inside the file header", [](Image& b) { b.resize(kPe + 10); }},
        {"cut inside the optional header", [](Image& b) { b.resize(kOptional + 50); }},
        {"unknown optional header magic", [](Image& b) { put16(b, kOptional, 0x107); }},
        {"optional header too small for the resource entry", [](Image& b) { put16(b, kPe + 20, 96 + 16); }},
        {"two data directories only", [](Image& b) { put32(b, kOptional + 92, 2); }},
        {"no resource directory", [](Image& b) { put32(b, kOptional + 96 + 16, 0); }},
        {"section count past the end", [](Image& b) { put16(b, kPe + 6, 0xFFFF); }},
        {"cut inside the section table", [](Image& b) { b.resize(kSectionTable32 + 20); }},
        {"optional header size moves the section table past the end", [](Image& b) { put16(b, kPe + 20, 0xFFFF); }},
        {"resource RVA in no section", [](Image& b) { put32(b, kOptional + 96 + 16, 0x5000); }},
        {"section raw data past the end", [](Image& b) { put32(b, kSectionTable32 + 20, 0x7FFFFFF0u); }},
        {"section raw data wraps 32 bits",
         [](Image& b) {
             put32(b, kSectionTable32 + 16, 0xFFFFFFFFu);
             put32(b, kSectionTable32 + 20, 0xFFFFFF00u);
         }},
        {"resource bytes cut inside the type directory", [](Image& b) { b.resize(kRoot + 10); }},
        {"type entry count past the end, no RT_VERSION before it",
         [](Image& b) {
             put16(b, kRoot + 14, 0xFFFF);
             put32(b, kRoot + 24, 24);
         }},
        {"no RT_VERSION", [](Image& b) { put32(b, kRoot + 24, 24); }},
        {"RT_VERSION as a name, not an ID", [](Image& b) { put32(b, kRoot + 24, 0x80000000u | 16); }},
        {"RT_VERSION leads to a data entry", [](Image& b) { put32(b, kRoot + 28, kNames - kRsrcFile); }},
        {"name directory offset past the end", [](Image& b) { put32(b, kRoot + 28, 0xFFFFFFF0u); }},
        {"name directory at the last bytes", [](Image& b) { put32(b, kRoot + 28, 0x80000000u | (kRsrcRaw - 4)); }},
        {"empty name directory", [](Image& b) { put16(b, kNames + 14, 0); }},
        {"name level leads to a data entry", [](Image& b) { put32(b, kNames + 20, kLangs - kRsrcFile); }},
        {"name level loops back to the type directory", [](Image& b) { put32(b, kNames + 20, 0x80000000u); }},
        {"language level loops back to itself",
         [](Image& b) { put32(b, kLangs + 20, 0x80000000u | (kLangs - kRsrcFile)); }},
        {"language level offset past the end", [](Image& b) { put32(b, kLangs + 20, 0x7FFFFFFFu); }},
        {"data entry cut", [](Image& b) { put32(b, kLangs + 20, static_cast<uint32_t>(kRsrcRaw - 12)); }},
        {"block RVA in no section", [](Image& b) { put32(b, kData, 0x9000); }},
        {"block RVA before the section", [](Image& b) { put32(b, kData, 0x10); }},
        {"block size past the section", [](Image& b) { put32(b, kData + 4, kRsrcRaw); }},
        {"block size past the end of a cut file", [](Image& b) { b.resize(kFixed + 20); }},
        {"block size too small for the record", [](Image& b) { put32(b, kData + 4, 40 + 51); }},
        {"block length past its size", [](Image& b) { put16(b, kBlock, kBlockBytes + 4); }},
        {"block length too small for the record", [](Image& b) { put16(b, kBlock, 50); }},
        {"block length too small for the key", [](Image& b) { put16(b, kBlock, 10); }},
        {"value length too small", [](Image& b) { put16(b, kBlock + 2, 51); }},
        {"no value", [](Image& b) { put16(b, kBlock + 2, 0); }},
        {"another key", [](Image& b) { put16(b, kBlock + 6, u'W'); }},
        {"wrong signature", [](Image& b) { put32(b, kFixed, 0xFEEF04BE); }},
        {"signature zero", [](Image& b) { put32(b, kFixed, 0); }},
    };
    for (const Row& row : rows) {
        const std::string what = row.what;
        CAPTURE(what);
        Image b = build();
        row.spoil(b);
        CHECK_FALSE(read(b).has_value());
    }
}

TEST_CASE("an image cut at every length: no read outside it, a version only when whole") {
    const Image whole = build();
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Image cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        CAPTURE(n);
        // The version block ends at kBlock + kBlockBytes: from there on the image holds it all.
        CHECK(read(cut).has_value() == (n >= kBlock + kBlockBytes));
    }
}

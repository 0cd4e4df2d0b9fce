// The fixed version record of a PE image's version resource, read from the image's bytes in
// memory: nothing is written to disk and no Windows call is made. Every offset the image gives is
// checked against its length; a malformed image has no version.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

// VS_FIXEDFILEINFO's thirteen fields, in its order and layout.
struct pe_fixed_version {
    uint32_t signature;  // kFixedVersionSignature
    uint32_t struc_version;
    uint32_t file_version_ms;
    uint32_t file_version_ls;
    uint32_t product_version_ms;
    uint32_t product_version_ls;
    uint32_t file_flags_mask;
    uint32_t file_flags;
    uint32_t file_os;
    uint32_t file_type;
    uint32_t file_subtype;
    uint32_t file_date_ms;
    uint32_t file_date_ls;
};
static_assert(sizeof(pe_fixed_version) == 52);

constexpr uint32_t kFixedVersionSignature = 0xFEEF04BD;

// The record of the first version resource (type RT_VERSION, its first name or ID, its first
// language), as GetFileVersionInfoW and VerQueryValueW(L"\\") would give it for the same file.
// PE32 and PE32+ images; std::nullopt when the image, its resource tree or the version block is
// malformed, truncated or missing, or the record's signature is wrong.
std::optional<pe_fixed_version> read_pe_fixed_version(std::span<const unsigned char> image);

// libFuzzer target for read_pe_fixed_version: sanitizers catch reads outside the image, and a
// record it returns must carry the right signature and be bytes the image itself holds. Built by
// scripts/fuzz.sh, not by CMake.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::optional<pe_fixed_version> v = read_pe_fixed_version({data, size});
    if (!v) return 0;
    if (v->signature != kFixedVersionSignature) std::abort();
    const std::string_view image(reinterpret_cast<const char*>(data), size);
    const std::string_view record(reinterpret_cast<const char*>(&*v), sizeof *v);  // little-endian host
    if (image.find(record) == std::string_view::npos) std::abort();
    return 0;
}

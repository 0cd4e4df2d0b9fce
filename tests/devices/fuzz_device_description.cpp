// libFuzzer target for the device description built from the strings a device reports: the
// trimming of the reported text and the interface and composite suffixes on the UTF-16 text,
// plus the driver-version packing. Whatever the bytes: no memory fault, the text stays
// NUL-terminated within its 256 units, a suffix is added whole or not at all. Built by
// scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_fields.h"

namespace {
void require(bool ok) {
    if (!ok) std::abort();
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::u16string text_of(const char16_t* s) {
    std::size_t n = 0;
    while (n < kDescriptionUnits && s[n]) ++n;
    require(n < kDescriptionUnits);
    return std::u16string(s, n);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned interface_number = data[0];
    const bool composite = data[1] & 1;
    // The reported text, as the ANSI property arrives: at most 255 bytes and a NUL.
    char reported[kDevicePropertyBytes];
    const std::size_t n = size - 2 < sizeof reported - 1 ? size - 2 : sizeof reported - 1;
    std::memcpy(reported, data + 2, n);
    reported[n] = '\0';
    const std::string before(reported);
    trim_trailing_space(reported);
    const std::string after(reported);
    require(before.compare(0, after.size(), after) == 0);
    require(after.empty() || !is_space(after.back()));
    for (std::size_t i = after.size(); i < before.size(); ++i) require(is_space(before[i]));

    // The UTF-16 description: the reported bytes widened, as a conversion of ASCII would.
    char16_t desc[kDescriptionUnits];
    for (std::size_t i = 0; i <= after.size(); ++i) desc[i] = static_cast<unsigned char>(reported[i]);
    const std::u16string plain = text_of(desc);
    char suffix[kInterfaceSuffixBytes];
    interface_suffix(suffix, interface_number);
    require(std::strlen(suffix) < sizeof suffix);
    const bool added = composite ? append_composite_suffix(desc) : append_interface_suffix(desc, interface_number);
    const std::u16string result = text_of(desc);
    const std::string want = composite ? " (Composite Parent)" : suffix;
    if (added) {
        require(result.size() == plain.size() + want.size());
        require(result.compare(0, plain.size(), plain) == 0);
        for (std::size_t i = 0; i < want.size(); ++i)
            require(result[plain.size() + i] == static_cast<unsigned char>(want[i]));
    } else {
        require(result == plain);
        require(plain.size() >= (composite ? kCompositeSuffixLimit : kInterfaceSuffixLimit) ||
                plain.size() + want.size() >= kDescriptionUnits);
    }
    (void)pack_driver_version(reported);
    return 0;
}

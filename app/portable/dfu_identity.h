// The rules that pick the one device the setup program may touch: the Artery AT32 DFU
// bootloader 2E3C:DF11, not part of a composite device. ASCII case folding only, no locale.
#pragma once

#include <cstdint>

#include "ascii.h"  // ascii_iequal, the comparison these rules use

inline constexpr uint16_t AT32_DFU_VID = 0x2E3C;
inline constexpr uint16_t AT32_DFU_PID = 0xDF11;

bool is_supported_dfu_device(uint16_t vendor_id, uint16_t product_id, bool composite, const char* hardware_id,
                             const char* compatible_id, const char* device_id);
bool same_device_id(const char* a, const char* b);
bool is_winusb_driver(const char* driver);

// The text of a CryptoAPI or Windows error code, used by every message of the catalog and
// signing code.
#pragma once

#include <cstdint>

// 0 means the thread's last error. The text of an unknown code lives in a per-thread buffer.
const char* PkiErrorText(uint32_t code);

// The local machine's "Root" and "TrustedPublisher" stores: the signing certificate goes in,
// earlier ones of the same subject come out.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

#include "crypto_api.h"

inline constexpr std::size_t kCertDialogBytes = 1024;  // the trusted-publisher warning and its NUL
inline constexpr std::size_t kCertNameFieldBytes = 260;

// Sets the friendly name "libvesk" on cert and adds it, replacing an equal certificate.
bool AddCertToStore(const Crypt32& api, PCCERT_CONTEXT cert, const char* store_name);
// Deletes every certificate whose subject equals the X.500 name string (UTF-8).
bool RemoveCertFromStore(const Crypt32& api, const char* subject, const char* store_name);
// Adds a DER certificate to "TrustedPublisher", after the user's OK unless skip_warning.
bool AddCertToTrustedPublisher(const uint8_t* bytes, uint32_t count, bool skip_warning, HWND owner);

// The warning dialog's text for an organization and its unit (either may be empty); cut at
// the buffer's end.
void format_trusted_publisher_warning(char (&out)[kCertDialogBytes], const char* organization, const char* unit);

// The friendly name of the certificates placed by the library, a UTF-16 property value.
bool set_friendly_name(const Crypt32& api, PCCERT_CONTEXT cert);

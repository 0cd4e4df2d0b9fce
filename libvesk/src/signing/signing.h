// Signing a file with a fresh self-signed certificate that is left in the machine's Root and
// TrustedPublisher stores; its private key exists only in memory and is destroyed right after
// signing.
#pragma once

#include "libvesk.h"

// Both strings UTF-8. True only when the file was signed. The key made ahead is used when it is
// ready or being made (and then spent); without one, or when it failed, a new key is made.
bool SelfSignFile(const char* file_path, const char* subject, vesk_signing_key* ahead = nullptr);

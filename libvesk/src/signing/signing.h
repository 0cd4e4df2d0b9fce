// Signing a file with a fresh self-signed certificate that is left in the machine's Root and
// TrustedPublisher stores; its private key is destroyed right after signing.
#pragma once

// Both strings UTF-8. True only when the file was signed.
bool SelfSignFile(const char* file_path, const char* subject);

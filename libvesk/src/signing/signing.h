// Signing a file with a fresh self-signed certificate that is left in the machine's Root and
// TrustedPublisher stores; its private key is destroyed right after signing.
#pragma once

// Both strings UTF-8. True only when the file was signed and the private key is gone. A key that
// could not be deleted also sets *key_left (when given): no caller may go on with that signature.
bool SelfSignFile(const char* file_path, const char* subject, bool* key_left = nullptr);

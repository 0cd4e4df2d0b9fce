// The texts of CryptoAPI error codes, for every message of the catalog and signing code.
#include "pki_error_text.h"

#include <windows.h>

#include "error_text.h"
#include "format_into.h"

const char* PkiErrorText(uint32_t code) {
    thread_local char unknown[64];
    if (code == 0) code = GetLastError();
    switch (code) {
        case 0x800706D9:
            return "This system is missing required cryptographic services.";
        case 0x80070020:
            return "Sharing violation - Some data handles to this file are still open.";
        default:
            break;
    }
    if ((code >> 16) != 0x8009) return hresult_text(code);
    struct Row {
        uint32_t code;
        const char* text;
    };
    static const Row rows[] = {
        {0x80090001, "Bad UID."},
        {0x80090006, "Invalid Signature."},
        {0x80090009, "Invalid flags specified."},
        {0x8009000E, "Insufficient memory available for the operation."},
        {0x8009000F, "Object already exists."},
        {0x80090014, "Invalid provider type specified."},
        {0x80090016, "Keyset does not exist."},
        {0x80090019, "The keyset is not defined."},
        {0x8009001A, "Keyset as registered is invalid."},
        {0x8009001C, "The digital signature file is corrupt."},
        {0x8009001D, "Provider DLL failed to initialize correctly."},
        {0x8009001E, "Provider DLL could not be found."},
        {0x8009001F, "The Keyset parameter is invalid."},
        {0x80091001, "An error occurred while performing an operation on a cryptographic message."},
        {0x80091002, "Unknown cryptographic algorithm."},
        {0x80091004, "Invalid cryptographic message type."},
        {0x80091007, "The hash value is not correct"},
        {0x8009100D, "Invalid issuer and/or serial number."},
        {0x80092001, "The length specified for the output data was insufficient."},
        {0x80092002, "An error occurred during encode or decode operation."},
        {0x80092003, "An error occurred while reading or writing to a file."},
        {0x80092004, "Cannot find object or property."},
        {0x80092005, "The object or property already exists."},
        {0x80092006, "No provider was specified for the store or object."},
        {0x80092008, "The previous certificate or CRL context was deleted."},
        {0x80092009, "Cannot find the requested object."},
        {0x8009200A, "The certificate does not have a property that references a private key."},
        {0x8009200B, "Cannot find the private key to use for decryption."},
        {0x8009200C, "Cannot find the certificate to use for decryption."},
        {0x8009200D, "Not a cryptographic message."},
        {0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index."},
        {0x80092010, "The certificate is revoked."},
        {0x80092011, "No Dll or exported function was found to verify revocation."},
        {0x80092012, "The revocation function was unable to check revocation for the certificate."},
        {0x80092013,
         "The revocation function was unable to check revocation because the revocation server was offline."},
        {0x80092014, "The certificate is not in the revocation server's database."},
        {0x80092026, "The cryptographic operation failed due to a local security option setting."},
        {0x80092028, "The called function was unable to do a usage check on the subject."},
        {0x80092029, "Since the server was offline, the called function was unable to complete the usage check."},
        {0x8009202B, "None of the signers of the cryptographic message or certificate trust list is trusted."},
    };
    if (code >= 0x80092020 && code <= 0x80092024) return "Invalid string.";
    for (const Row& r : rows)
        if (r.code == code) return r.text;
    (void)format_into(unknown, sizeof unknown, "Unknown PKI error 0x%08X", static_cast<unsigned>(code));
    return unknown;
}

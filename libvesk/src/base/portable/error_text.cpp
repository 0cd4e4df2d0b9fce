// The fixed English texts of the result codes.
#include "libvesk.h"

#include "format_into.h"
#include "sizes.h"

namespace {
struct CodeText {
    vesk_result code;
    const char* text;
};
constexpr CodeText kTexts[] = {
    {VESK_OK, "Success"},
    {VESK_ERR_INPUT_OUTPUT, "Input/Output error"},
    {VESK_ERR_INVALID_PARAMETER, "Invalid parameter"},
    {VESK_ERR_ACCESS_DENIED, "Access denied"},
    {VESK_ERR_NO_SUCH_DEVICE, "No such device"},
    {VESK_ERR_NOT_FOUND, "Requested resource not found"},
    {VESK_ERR_BUSY, "Requested resource busy or similar call already in progress"},
    {VESK_ERR_TIMED_OUT, "Operation timed out"},
    {VESK_ERR_OVERFLOW, "Overflow"},
    {VESK_ERR_INSTALL_PENDING, "Another installation is detected pending"},
    {VESK_ERR_INTERRUPTED, "System call interrupted"},
    {VESK_ERR_NO_RESOURCE, "Could not allocate resource"},
    {VESK_ERR_NOT_SUPPORTED, "Operation not supported or not implemented"},
    {VESK_ERR_ALREADY_EXISTS, "Resource already exists"},
    {VESK_ERR_CANCELLED, "Cancelled by user"},
    {VESK_ERR_NEEDS_ELEVATION, "Unable to run process with required administrative privileges"},
    {VESK_ERR_WRONG_ARCH, "Attempted to use a 32 bit installer on a 64 bit machine"},
    {VESK_ERR_BAD_INF, "The syntax of the inf is invalid"},
    {VESK_ERR_NO_CATALOG, "Unable to locate cat file"},
    {VESK_ERR_UNSIGNED_REJECTED, "System policy has been modified to reject unsigned drivers"},
    {VESK_ERR_OTHER, "Other error"},
};
thread_local char unknown_code_text[kUnknownCodeBytes];  // one per thread: any thread may ask
}  // namespace

const char* vesk_error_text(vesk_result code) {
    for (const CodeText& t : kTexts)
        if (t.code == code) return t.text;
    // A cut text is still a usable text here; the buffer is always terminated.
    (void)format_into(unknown_code_text, sizeof unknown_code_text, "Unknown Error: %d", static_cast<int>(code));
    return unknown_code_text;
}

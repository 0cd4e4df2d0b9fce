#include "tokenizer.h"
#include "libvesk.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "payload.h"
#include "vesk_log.h"

token_entry token_table[kTokenCount + 1] = {
    {"INF_FILENAME", {}},
    {"CAT_FILENAME", {}},
    {"DEVICE_DESCRIPTION", {}},
    {"DEVICE_HARDWARE_ID", {}},
    {"DEVICE_INTERFACE_GUID", {}},
    {"DEVICE_MANUFACTURER", {}},
    {"DRIVER_DATE", {}},
    {"DRIVER_VERSION", {}},
    {"USE_DEVICE_INTERFACE_GUID", {}},
    {"WDF_VERSION", {}},
    {"KMDF_VERSION", {}},
    {"LK_COMMA", {}},
    {"LK_DLL", {}},
    {"LK_X86_DLL", {}},
    {"LK_EQ_X86", {}},
    {"LK_EQ_X64", {}},
    {nullptr, {}},
};

namespace {
token_entry* find_token(const char* name) {
    for (token_entry* t = token_table; t->name; ++t)
        if (std::strcmp(t->name, name) == 0) return t;
    return nullptr;
}
}  // namespace

bool set_token_value(const char* name, const char* value) {
    token_entry* t = find_token(name);
    if (!t) return false;
    const std::size_t n = value ? strnlen(value, kTokenValueBytes - 1) : 0;
    if (n) std::memcpy(t->value, value, n);
    t->value[n] = '\0';
    return true;
}

const char* token_value(const char* name) {
    const token_entry* t = find_token(name);
    return t ? t->value : nullptr;
}

int32_t tokenize_embedded_template(const char* template_name, char** out) {
    const payload_entry* row = find_payload("", template_name);
    if (!row) return kTokenNotFound;
    return expand_tokens(reinterpret_cast<const char*>(row->bytes), static_cast<uint32_t>(row->length), out,
                         token_table, "#", "#");
}

int32_t vesk_tokenize_file(const char* path, char** out) {
    Utf16 wide(to_utf16(path));
    if (!wide) return kTokenNotFound;
    UniqueCFile file(_wfopen(wide.get(), L"rb"));
    if (!file) return kTokenNotFound;
    if (_fseeki64(file.get(), 0, SEEK_END) != 0) return kTokenNotFound;
    const int64_t size = _ftelli64(file.get());
    if (size < 0 || _fseeki64(file.get(), 0, SEEK_SET) != 0) return kTokenNotFound;
    // The expansion takes a 32-bit length: a larger template is one it cannot read.
    if (size > 0x7FFFFFFF - 1024) return kTokenNotFound;
    MallocPtr<char> buffer(static_cast<char*>(std::calloc(static_cast<std::size_t>(size) + 1, 1)));
    if (!buffer) {
        vesk_log_message(VESK_LOG_ERROR, "vesk_tokenize_file", "Could not allocate tokenization buffer");
        return kTokenNoReadBuffer;
    }
    if (std::fread(buffer.get(), 1, static_cast<std::size_t>(size), file.get()) != static_cast<std::size_t>(size)) {
        vesk_log_message(VESK_LOG_ERROR, "vesk_tokenize_file", "Could not read file to tokenize");
        return kTokenNotFound;
    }
    return expand_tokens(buffer.get(), static_cast<uint32_t>(size), out, token_table, "#", "#");
}

#include "inf_file.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "owners.h"
#include "prepare.h"
#include "tokenizer.h"
#include "vesk_log.h"

namespace {
constexpr const char* kSource = kPrepareSource;
}  // namespace

vesk_result write_inf(const vesk_prepare_options* options, const char* inf_name, const KindData& kd,
                      const char* inf_path) {
    Tokenized inf;
    const int32_t n = (options && options->inf_is_template) ? vesk_tokenize_file(inf_name, &inf.p)
                                                            : tokenize_embedded_template(kd.inf_template, &inf.p);
    if (n < 1) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not tokenize inf file (%d)", n);
        return VESK_ERR_ACCESS_DENIED;
    }
    FILE* f = fopen_as_userU(inf_path);
    if (!f) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Failed to create file: %s", inf_path);
        return VESK_ERR_ACCESS_DENIED;
    }
    const int wide_len = MultiByteToWideChar(CP_UTF8, 0, inf.p, -1, nullptr, 0);
    MallocPtr<wchar_t> wide(
        wide_len > 0 ? static_cast<wchar_t*>(std::calloc(static_cast<std::size_t>(wide_len), sizeof(wchar_t)))
                     : nullptr);
    if (!wide || MultiByteToWideChar(CP_UTF8, 0, inf.p, -1, wide.get(), wide_len) != wide_len) {
        std::fclose(f);
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not convert '%s' to UTF-16", inf.p);
        return VESK_ERR_NO_RESOURCE;
    }
    static const unsigned char kBom[2] = {0xFF, 0xFE};
    const std::size_t units = static_cast<std::size_t>(wide_len) - 1;
    // x86 and x64 are little-endian: wchar_t units go out as they are.
    const bool written = std::fwrite(kBom, 1, sizeof kBom, f) == sizeof kBom &&
                         std::fwrite(wide.get(), sizeof(wchar_t), units, f) == units;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Failed to write file: %s", inf_path);
        return VESK_ERR_ACCESS_DENIED;
    }
    vesk_log_message(VESK_LOG_INFO, kSource, "Successfully created '%s'", inf_path);
    return VESK_OK;
}

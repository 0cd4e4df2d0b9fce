#include "global_guard.h"

#include "format_into.h"
#include "sizes.h"

GlobalGuard::GlobalGuard(const char* function_name) {
    char name[kMutexNameBytes];
    if (format_into(name, sizeof name, "Global\\%s", function_name) != Fit::ok) return;
    mutex_.reset(CreateMutexA(nullptr, TRUE, name));
    if (!mutex_) return;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        mutex_.reset();
        status_ = VESK_ERR_BUSY;
        return;
    }
    status_ = VESK_OK;
}

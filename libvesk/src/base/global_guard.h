// "Global\%s" named mutex that keeps a library call from overlapping with itself anywhere on
// the system. A call that finds the mutex already present fails at once; none waits. The handle
// is closed (never explicitly released) when the guard goes out of scope.
#pragma once

#include "libvesk.h"
#include "owners.h"

class GlobalGuard {
public:
    explicit GlobalGuard(const char* function_name);
    // VESK_OK when this call holds the guard, VESK_ERR_BUSY, or VESK_ERR_NO_RESOURCE.
    vesk_result status() const noexcept { return status_; }

private:
    UniqueHandle mutex_;
    vesk_result status_ = VESK_ERR_NO_RESOURCE;
};

// One scan in a process of its own; the exit code is minus the result (6 for VESK_ERR_BUSY).
#include "libvesk.h"

int main() {
    vesk_device* list = nullptr;
    const vesk_result r = vesk_create_list(&list, nullptr);
    if (r == VESK_OK) vesk_destroy_list(list);
    return -r;
}

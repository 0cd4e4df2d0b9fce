#include "taskbar_button.h"

namespace {
// From shobjidl.h, written here so that nothing links the GUID library for two values.
constexpr CLSID kTaskbarListClass = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
constexpr IID kTaskbarList3 = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

// The button is a nicety: a system without it gets no line in the pane.
void quiet(const char*, const char*, const char*) {}
}  // namespace

void show_taskbar_busy(taskbar_button& button, HWND window) {
    end_taskbar_busy(button, nullptr);
    if (!load_table(button.ole32, "show_taskbar_busy", quiet)) return;
    const HRESULT init = button.ole32.initialize(nullptr, COINIT_APARTMENTTHREADED);
    button.com_initialized = SUCCEEDED(init);  // a thread already in another mode keeps it
    void* list = nullptr;
    if (FAILED(button.ole32.create_instance(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3, &list)))
        return;
    button.list.reset(static_cast<ITaskbarList3*>(list));
    if (FAILED(button.list.get()->HrInit())) {
        button.list.reset();
        return;
    }
    button.list.get()->SetProgressState(window, TBPF_INDETERMINATE);
}

void end_taskbar_busy(taskbar_button& button, HWND window) {
    if (button.list && window) button.list.get()->SetProgressState(window, TBPF_NOPROGRESS);
    button.list.reset();
    if (button.com_initialized) button.ole32.uninitialize();
    button.com_initialized = false;
    button.ole32 = Ole32{};
    if (window && GetForegroundWindow() != window) {
        FLASHWINFO flash = {sizeof flash, window, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
        FlashWindowEx(&flash);
    }
}

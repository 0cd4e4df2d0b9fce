// Stand-in for Windows' consent and credential programs, which Wine lacks: copied under their
// names (into the system directory, or elsewhere), it shows one top-level window of the class,
// title and style on its command line until the named event "vesk-prompt-close" is signalled.
//   prompt_double.exe CLASS TITLE STYLE_HEX [PARENT_HWND_HEX]
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const char* cls = argv[1];
    if (std::strcmp(cls, "#32770") != 0) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = cls;
        if (!RegisterClassA(&wc)) return 3;
    }
    const DWORD style = std::strtoul(argv[3], nullptr, 16);
    HWND parent =
        argc > 4 ? reinterpret_cast<HWND>(static_cast<INT_PTR>(std::strtoull(argv[4], nullptr, 16))) : nullptr;
    HWND w = CreateWindowExA(0, cls, argv[2], style, 0, 0, 60, 30, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!w) return 4;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "vesk-prompt-ready");
    HANDLE close = CreateEventA(nullptr, TRUE, FALSE, "vesk-prompt-close");
    SetEvent(ready);
    for (;;) {
        if (MsgWaitForMultipleObjects(1, &close, FALSE, 30000, QS_ALLINPUT) != WAIT_OBJECT_0 + 1) break;
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
    DestroyWindow(w);
    CloseHandle(ready);
    CloseHandle(close);
    return 0;
}

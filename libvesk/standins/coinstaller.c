/* Test stand-in of a Microsoft co-installer, built when the redistributable files are not
 * available. It accepts every device-installation request and changes nothing. No C runtime:
 * the DLL imports nothing and its entry does nothing. */
#include <windows.h>
#include <setupapi.h>

/* The DLL's entry (named to the linker) and its one export. */
BOOL WINAPI standin_entry(HINSTANCE instance, DWORD reason, LPVOID reserved);
__declspec(dllexport) DWORD CALLBACK
    STANDIN_ENTRY_POINT(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data, PCOINSTALLER_CONTEXT_DATA context);

BOOL WINAPI standin_entry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

__declspec(dllexport) DWORD CALLBACK
    STANDIN_ENTRY_POINT(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data, PCOINSTALLER_CONTEXT_DATA context) {
    (void)function;
    (void)set;
    (void)data;
    (void)context;
    return NO_ERROR;
}

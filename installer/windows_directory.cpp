// The Windows directory from the system, never from the environment, which whoever starts the
// installer chooses. Its own object file: the setup-log tests link a definition of their own.
#include <windows.h>

#include <iterator>

#include "installer.h"

std::size_t windows_directory(wchar_t (&out)[kInstallerPathBytes]) {
    const UINT n = GetWindowsDirectoryW(out, static_cast<UINT>(std::size(out)));
    if (n == 0 || n >= std::size(out)) {
        out[0] = L'\0';
        return 0;
    }
    return n;
}

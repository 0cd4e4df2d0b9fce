// The planted-DLL test's control: loads the named DLL without any restriction of the search,
// from a folder where a marker sits under that name; exit 42 when it got the marker.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HMODULE m = LoadLibraryA(argv[1]);
    return m && GetProcAddress(m, "vesk_planted_marker") ? 42 : 1;
}

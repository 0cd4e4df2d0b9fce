// A DLL named like a system library ("mssign32.dll"), put beside a test program to show that
// the library's loads by name never pick it up.
extern "C" __declspec(dllexport) int vesk_planted_marker() { return 42; }

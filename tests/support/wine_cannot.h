// Cases whose property Wine cannot enforce or observe (access checks, owners read back, private
// namespaces, integrity labels, junctions, ...). Such a case carries WINDOWS_ONLY and begins with
//     if (wine_cannot("what Wine lacks")) return;
// On Windows it runs for real. Under Wine it is reported as skipped with that reason, and a
// program whose every case that ran was skipped exits with kSkipExitCode, which CTest shows as
// skipped (vesk_test ... WINDOWS_ONLY runs these cases as a test of their own).
#pragma once

#include <doctest.h>

inline constexpr int kSkipExitCode = 77;
#define WINDOWS_ONLY doctest::test_suite("windows_only")

bool running_on_wine();
// True under Wine: the case is recorded as skipped with `reason` and should end.
bool wine_cannot(const char* reason);
// The program's exit code from doctest's result: the skip code when nothing failed and every
// case that ran was skipped; the skipped cases are listed on standard output.
int finish_with_skips(int result);

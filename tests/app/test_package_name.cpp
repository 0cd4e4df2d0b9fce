// The package directory names that the removal of earlier runs' directories may touch.
#include <doctest.h>

#include "package_name.h"

TEST_CASE("only the program's own name form is a package directory name") {
    struct Case {
        const wchar_t* name;
        bool ours;
    };
    const Case cases[] = {
        {L"Morvane-Driver-{0BADF00D-0000-4000-8000-000000000001}", true},
        {L"Morvane-Driver-{0badf00d-abcd-4000-8000-00000000000f}", true},
        {L"Morvane-Driver-{0BADF00D-0000-4000-8000-000000000001}.old", false},
        {L"Morvane-Driver-{0BADF00D-0000-4000-8000-00000000000}", false},   // one digit short
        {L"Morvane-Driver-{0BADF00D-0000-4000-8000-00000000000G}", false},  // not hexadecimal
        {L"Morvane-Driver-{0BADF00D-0000-4000-8000+000000000001}", false},  // a dash in the wrong form
        {L"Morvane-Driver-(0BADF00D-0000-4000-8000-000000000001)", false},  // no braces
        {L"morvane-driver-{0BADF00D-0000-4000-8000-000000000001}", false},  // the prefix as written
        {L"Other-Driver-{0BADF00D-0000-4000-8000-000000000001}", false},
        {L"Morvane-Driver-", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.ours);
        CHECK(is_package_directory_name(c.name) == c.ours);
    }
}

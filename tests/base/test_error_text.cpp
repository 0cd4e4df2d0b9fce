#include <doctest.h>

#include <climits>
#include <cstring>
#include <string>

#include "libvesk.h"
#include "code_texts.h"

TEST_CASE("every assigned result code has its fixed text") {
    static const CodeText<vesk_result> rows[] = {
        {0, "Success"},
        {-1, "Input/Output error"},
        {-2, "Invalid parameter"},
        {-3, "Access denied"},
        {-4, "No such device"},
        {-5, "Requested resource not found"},
        {-6, "Requested resource busy or similar call already in progress"},
        {-7, "Operation timed out"},
        {-8, "Overflow"},
        {-9, "Another installation is detected pending"},
        {-10, "System call interrupted"},
        {-11, "Could not allocate resource"},
        {-12, "Operation not supported or not implemented"},
        {-13, "Resource already exists"},
        {-14, "Cancelled by user"},
        {-15, "Unable to run process with required administrative privileges"},
        {-16, "Attempted to use a 32 bit installer on a 64 bit machine"},
        {-17, "The syntax of the inf is invalid"},
        {-18, "Unable to locate cat file"},
        {-19, "System policy has been modified to reject unsigned drivers"},
        {-99, "Other error"},
    };
    for (const auto& r : rows) {
        CAPTURE(r.code);
        CHECK(std::string(vesk_error_text(r.code)) == r.text);
    }
}

TEST_CASE("unassigned codes are formatted into one reused buffer") {
    static const CodeText<vesk_result> rows[] = {
        {-20, "Unknown Error: -20"},
        {-98, "Unknown Error: -98"},
        {1, "Unknown Error: 1"},
        {INT_MIN, "Unknown Error: -2147483648"},  // 26 characters: fits without a cut
    };
    for (const auto& r : rows) {
        CAPTURE(r.code);
        CHECK(std::string(vesk_error_text(r.code)) == r.text);
    }
    CHECK(std::strlen(vesk_error_text(INT_MIN)) == 26);

    const char* first = vesk_error_text(-20);
    const char* second = vesk_error_text(-98);
    CHECK(first == second);
    CHECK(std::string(first) == "Unknown Error: -98");
}

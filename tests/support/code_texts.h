// A row of the tests' tables that pair a code (an error, a result, a log level) with the text it
// must give.
#pragma once

template <class Code>
struct CodeText {
    Code code;
    const char* text;
};

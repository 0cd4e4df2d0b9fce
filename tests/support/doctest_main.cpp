#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include "wine_cannot.h"

int main(int argc, char** argv) {
    doctest::Context context(argc, argv);
    return finish_with_skips(context.run());
}

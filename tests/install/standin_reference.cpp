// The run's tests start the scripted stand-in, not the installer the setup program carries:
// this definition takes the place of the payload lookup and gives the stand-in's bytes.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "installer_image.h"
#include "run_support.h"

std::span<const unsigned char> installer_reference(const char*) {
    static const std::vector<unsigned char> bytes = [] {
        std::ifstream f(run_test::program_dir() + "\\standin_installer.exe", std::ios::binary);
        return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }();
    return {bytes.data(), bytes.size()};
}

// Without a registered window, lines go to the console: info to standard output, the other
// levels to standard error, with no length limit.
#include <doctest.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "libvesk.h"
#include "vesk_log.h"

namespace {
// Points a C stream's descriptor at a file for the life of the object.
struct Redirect {
    int fd, saved;
    Redirect(int which, const char* path) : fd(which) {
        std::fflush(nullptr);
        saved = _dup(fd);
        const int file = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(file, fd);
        _close(file);
    }
    ~Redirect() {
        std::fflush(nullptr);
        _dup2(saved, fd);
        _close(saved);
    }
};

std::string slurp(const char* path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
}  // namespace

TEST_CASE("console lines by level and threshold") {
    const std::string longer(700, 'L');
    {
        Redirect out(1, "log_console_out.txt"), err(2, "log_console_err.txt");
        vesk_set_log_threshold(VESK_LOG_INFO);
        vesk_log_message(VESK_LOG_DEBUG, "s", "dropped");
        vesk_log_message(VESK_LOG_INFO, "s", "to out %d", 1);
        vesk_log_message(VESK_LOG_WARNING, "s", "to err");
        vesk_log_message(VESK_LOG_ERROR, "s", "%s", longer.c_str());
        vesk_log_message(9, "s", "odd level");
        vesk_set_log_threshold(VESK_LOG_DEBUG);
        vesk_log_message(VESK_LOG_DEBUG, "s", "kept");
    }
    const std::string out = slurp("log_console_out.txt");
    const std::string err = slurp("log_console_err.txt");
    CHECK(out == "libvesk:info [s] to out 1\n");
    CHECK(err == "libvesk:warning [s] to err\nlibvesk:error [s] " + longer + "\nlibvesk:unknown [s] odd level\n" +
                     "libvesk:debug [s] kept\n");
}

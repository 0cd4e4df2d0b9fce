// Helpers of the package tests: a scratch directory, a captured library log, file reads.
#pragma once

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <doctest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "libvesk.h"
#include "scratch_tree.h"

namespace pkgtest {

// A device record as the scan gives it; the setup program's bootloader by default.
inline vesk_device device(uint16_t vid = 0x2E3C, uint16_t pid = 0xDF11,
                          const char* description = "Morvane DFU bootloader") {
    vesk_device d{};
    d.vendor_id = vid;
    d.product_id = pid;
    d.description = const_cast<char*>(description);
    return d;
}

// The options of the setup program's own preparation.
inline vesk_prepare_options setup_options() {
    vesk_prepare_options o{};
    o.driver_kind = VESK_DRIVER_WINUSB;
    o.manufacturer = "Morvane";
    return o;
}

// The setup program's options with the given interface GUID, without the catalog step.
inline vesk_prepare_options uncatalogued_options(const char* interface_guid) {
    vesk_prepare_options o = setup_options();
    o.interface_guid = interface_guid;
    o.skip_catalog = 1;
    return o;
}

inline std::wstring widen(const std::string& s) {
    Utf16 w(to_utf16(s.c_str()));
    return w ? std::wstring(w.get()) : std::wstring();
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(widen(path).c_str(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool exists(const std::string& path) { return utf8_file_attributes(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline bool is_dir(const std::string& path) {
    const DWORD a = utf8_file_attributes(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(widen(path).c_str(), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using scratch::remove_tree;

// Every file below dir, as paths relative to it with "\" separators.
inline void list_files(const std::string& dir, const std::string& prefix, std::vector<std::string>& out) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            list_files(dir + "\\" + name, prefix + name + "\\", out);
        else
            out.push_back(prefix + name);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

// A fresh directory below TEMP, removed with everything in it at the end of the scope.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path_ =
            std::string(temp) + "vesk-pkg-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        remove_tree(widen(path_));
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~ScratchDir() { remove_tree(widen(path_)); }
    const std::string& path() const { return path_; }
    // path/sub padded with 'p' so that the whole path is exactly n bytes.
    std::string padded(std::size_t n) const {
        std::string p = path_ + "\\";
        REQUIRE(n > p.size());
        return p + std::string(n - p.size(), 'p');
    }

private:
    std::string path_;
};

// Library log lines go to the console without a logger window: capture both streams.
class LogCapture {
public:
    LogCapture() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        file_ = std::string(temp) + "vesk-pkg-log-" + std::to_string(GetCurrentProcessId()) + ".txt";
        std::fflush(nullptr);
        saved_out_ = _dup(1);
        saved_err_ = _dup(2);
        const int fd = _open(file_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(fd, 1);
        _dup2(fd, 2);
        _close(fd);
    }
    ~LogCapture() { stop(); }
    // The captured text; capture ends here.
    const std::string& text() {
        stop();
        return text_;
    }
    bool has(const std::string& s) { return text().find(s) != std::string::npos; }

private:
    void stop() {
        if (saved_out_ < 0) return;
        std::fflush(nullptr);
        _dup2(saved_out_, 1);
        _dup2(saved_err_, 2);
        _close(saved_out_);
        _close(saved_err_);
        saved_out_ = saved_err_ = -1;
        text_ = read_file(file_);
        DeleteFileA(file_.c_str());
    }
    std::string file_;
    std::string text_;
    int saved_out_ = -1, saved_err_ = -1;
};

// Sets an environment variable (null: unset) for the scope.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t buf[32768];
        const DWORD n = GetEnvironmentVariableW(name, buf, 32768);
        had_ = n > 0 && n < 32768;
        if (had_) old_ = buf;
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::wstring old_;
    bool had_ = false;
};

inline std::vector<std::string> split_crlf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

}  // namespace pkgtest

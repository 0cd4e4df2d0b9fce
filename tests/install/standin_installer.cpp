// Scripted stand-in for the installer program. Copied into a package directory under the name
// the run looks for, it plays the conversation written in "standin-script.txt" there, using the
// installer end's real senders. Under the name "install-filter.exe" it plays the filter
// installer instead: lines on its standard output, the exit code from "filter-exit.txt".
// "--try-install DIR" makes it a second library client that tries a run of its own.
// "policy-off" and "policy-on" switch restore points off and back with the installer's own code.
// Every script run records the stand-in's own path in "standin-path.txt".
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "installer.h"
#include "installer_client.h"
#include "installer_protocol.h"
#include "libvesk.h"
#include "load_library.h"

namespace {
std::string read_file(const char* name) {
    std::string s;
    if (FILE* f = std::fopen(name, "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

void append_file(const char* name, const std::string& line) {
    if (FILE* f = std::fopen(name, "ab")) {
        std::fputs(line.c_str(), f);
        std::fputs("\n", f);
        std::fclose(f);
    }
}

std::string command_tail() {
    // Everything after the program path, as the run formed it.
    std::string cmd;
    const wchar_t* w = GetCommandLineW();
    for (; *w; ++w) cmd.push_back(static_cast<char>(*w < 0x80 ? *w : '?'));
    std::size_t i = 0;
    if (!cmd.empty() && cmd[0] == '"') {
        i = cmd.find('"', 1);
        i = i == std::string::npos ? cmd.size() : i + 1;
    } else {
        i = cmd.find(' ');
        if (i == std::string::npos) i = cmd.size();
    }
    while (i < cmd.size() && cmd[i] == ' ') ++i;
    return cmd.substr(i);
}

void send_raw(InstallerClient& client, const std::string& bytes) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD written = 0;
    if (!WriteFile(client.pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &ov) &&
        GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(client.pipe.get(), &ov, &written, TRUE);
    CloseHandle(event);
}

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

int play_filter() {
    append_file("standin-args.txt", command_tail());
    std::fputs("filter line one\n", stdout);
    std::fflush(stdout);
    std::fputs("filter line two\n", stderr);
    std::fflush(stderr);
    return std::atoi(read_file("filter-exit.txt").c_str());
}

int try_install(const char* dir) {
    vesk_device device = {};
    char id[] = "USB\\VID_2E3C&PID_DF11\\OTHER";
    device.device_id = id;
    device.hardware_id = id;
    return vesk_install_driver(&device, dir, "x.inf", nullptr);
}

// Tokens separated by blanks: print:TEXT (underscores become blanks), req:N, code:N, status:N,
// raw:HEX (raw: alone is an empty message), syslog:TOTAL, sleep:MS, wait, close, exit:N,
// policy-off, policy-on (its answer in standin-replies.txt),
// noconnect or late:MS (first token: no connection, or a connection after MS). "refused" in
// standin-replies.txt: the pipe's server is not the process that started the stand-in. The
// pipe's name comes as the installer's does: the second argument.
int play_script(const char* name, const char* pipe_token) {
    append_file("standin-args.txt", command_tail());
    append_file("standin-name.txt", name);
    std::vector<std::string> tokens;
    {
        const std::string script = read_file("standin-script.txt");
        std::size_t i = 0;
        while (i < script.size()) {
            const std::size_t j = script.find_first_of(" \r\n\t", i);
            const std::size_t end = j == std::string::npos ? script.size() : j;
            if (end > i) tokens.push_back(script.substr(i, end - i));
            i = end + 1;
        }
    }
    if (!tokens.empty() && tokens[0].rfind("late:", 0) == 0)
        Sleep(static_cast<DWORD>(std::atoi(tokens[0].c_str() + 5)));
    InstallerClient client;
    if (tokens.empty() || tokens[0] != "noconnect") {
        bool refused = false;
        InstallerPipeName pipe_name{};
        if (!installer_pipe_name_from_token(pipe_token, pipe_name)) {
            append_file("standin-replies.txt", "no pipe name");
            return 3;
        }
        if (!open_installer_pipe(client, pipe_name, &refused)) {
            append_file("standin-replies.txt",
                        refused ? std::string("refused") : "open failed " + std::to_string(GetLastError()));
            return 3;
        }
    }
    RestorePolicySession policy;  // the script's policy-off and policy-on, as one installer run
    for (const std::string& t : tokens) {
        const std::size_t colon = t.find(':');
        const std::string op = t.substr(0, colon);
        const std::string arg = colon == std::string::npos ? "" : t.substr(colon + 1);
        if (op == "print") {
            std::string text = arg;
            for (char& c : text)
                if (c == '_') c = ' ';
            installer_log(client, "%s", text.c_str());
        } else if (op == "req") {
            const char* v = req_id(client, static_cast<int8_t>(std::atoi(arg.c_str())));
            append_file("standin-replies.txt", arg + "=" + (v ? v : "<null>"));
        } else if (op == "code") {
            send_code(client, static_cast<int8_t>(std::atoi(arg.c_str())));
        } else if (op == "status") {
            send_status(client, std::atoi(arg.c_str()));
        } else if (op == "raw") {
            send_raw(client, unhex(arg));
        } else if (op == "syslog") {
            const std::size_t total = std::strtoul(arg.c_str(), nullptr, 10);
            std::string m(1, static_cast<char>(INSTALLER_MSG_SYSLOG));
            for (std::size_t k = 0; k + 2 < total; ++k) m.push_back(static_cast<char>('a' + k % 26));
            m.push_back('\0');
            send_raw(client, m);
        } else if (op == "sleep") {
            Sleep(static_cast<DWORD>(std::atoi(arg.c_str())));
        } else if (op == "wait") {
            HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "vesk-standin-release");
            WaitForSingleObject(e, 60000);
            CloseHandle(e);
        } else if (op == "policy-off" || op == "policy-on") {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            set_report_client(&client);
            const bool done = set_restore_point_policy(policy, op == "policy-off");
            set_report_client(nullptr);
            append_file("standin-replies.txt", op + (done ? " done" : " failed"));
        } else if (op == "close") {
            client.pipe.reset();
        } else if (op == "exit") {
            return std::atoi(arg.c_str());
        }
    }
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    restrict_dll_search();
    if (argc >= 3 && std::strcmp(argv[1], "--try-install") == 0) return try_install(argv[2]);
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    const char* base = std::strrchr(self, '\\');
    base = base ? base + 1 : self;
    if (n > 0 && _stricmp(base, "install-filter.exe") == 0) return play_filter();
    append_file("standin-path.txt", self);
    return play_script(base, argc >= 3 ? argv[2] : nullptr);
}

#include "global_guard.h"

#include <sddl.h>

#include <atomic>

#include "error_text.h"
#include "format_into.h"
#include "libvesk.h"
#include "load_library.h"
#include "security_descriptors.h"
#include "sizes.h"

namespace {
constexpr wchar_t kBoundaryName[] = L"Morvane-Driver-Setup";
constexpr char kNamespaceAlias[] = "Morvane-Driver-Setup";
constexpr wchar_t kNamespaceAliasW[] = L"Morvane-Driver-Setup";

using CreateBoundaryFn = HANDLE(WINAPI*)(LPCWSTR, ULONG);
using AddSidFn = BOOL(WINAPI*)(HANDLE*, PSID);
using DeleteBoundaryFn = VOID(WINAPI*)(HANDLE);
using CreateNamespaceFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using OpenNamespaceFn = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
using CloseNamespaceFn = BOOLEAN(WINAPI*)(HANDLE, ULONG);

// Windows has all of these since Vista; Wine 8 has none but CreateBoundaryDescriptorW, which
// there gives no descriptor.
struct NamespaceApi {
    CreateBoundaryFn create_boundary = nullptr;
    AddSidFn add_sid = nullptr;
    DeleteBoundaryFn delete_boundary = nullptr;
    CreateNamespaceFn create_namespace = nullptr;
    OpenNamespaceFn open_namespace = nullptr;
    CloseNamespaceFn close_namespace = nullptr;
    bool present = false;
};

NamespaceApi look_up() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");  // in every process
    NamespaceApi api;
    const bool all = resolve_optional(kernel32, "CreateBoundaryDescriptorW", api.create_boundary) &
                     resolve_optional(kernel32, "AddSIDToBoundaryDescriptor", api.add_sid) &
                     resolve_optional(kernel32, "DeleteBoundaryDescriptor", api.delete_boundary) &
                     resolve_optional(kernel32, "CreatePrivateNamespaceW", api.create_namespace) &
                     resolve_optional(kernel32, "OpenPrivateNamespaceW", api.open_namespace) &
                     resolve_optional(kernel32, "ClosePrivateNamespace", api.close_namespace);
    api.present = all;
    return api;
}

BOOL CALLBACK look_up_once(PINIT_ONCE, PVOID api, PVOID*) {
    *static_cast<NamespaceApi*>(api) = look_up();
    return TRUE;
}

// Looked up once per process, through the kernel's one-time initialization: a static with a
// run-time initializer would pull the C++ runtime's guard, and with it its whole exception
// support, into both programs (about 75 KB of the installer).
const NamespaceApi& namespace_api() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static NamespaceApi api;
    InitOnceExecuteOnce(&once, look_up_once, &api, nullptr);
    return api;
}

// Each kind of report once per process: the guards run on every scan and every log read.
struct Reported {
    std::atomic<bool> fallback{false};  // no private namespaces: the global names
    std::atomic<bool> failure{false};   // the namespace could not be made
};
Reported reported;

struct Boundary {
    const NamespaceApi& api;
    HANDLE handle;
    ~Boundary() {
        if (handle) api.delete_boundary(handle);
    }
};

UniqueNamespace open_guard_namespace(const NamespaceApi& api, const char* source, GuardReport report) {
    const char* step = "CreateBoundaryDescriptor";
    UniqueNamespace name_space;
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof admins;
    UniqueLocal descriptor;
    Boundary boundary{api, api.create_boundary(kBoundaryName, 0)};
    if (boundary.handle) {
        step = "AddSIDToBoundaryDescriptor";
        if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &sid_size) &&
            api.add_sid(&boundary.handle, admins)) {
            step = "ConvertStringSecurityDescriptorToSecurityDescriptor";
            if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                    kGuardSddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr)) {
                step = "CreatePrivateNamespace";
                SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor.get(), FALSE};
                // Another process may make it, or end it, between the two calls: one more round.
                for (int round = 0; round < 2 && !name_space; ++round) {
                    name_space.reset(api.create_namespace(&sa, boundary.handle, kNamespaceAliasW));
                    if (name_space || GetLastError() != ERROR_ALREADY_EXISTS) continue;
                    name_space.reset(api.open_namespace(boundary.handle, kNamespaceAliasW));
                    step = "OpenPrivateNamespace";
                }
            }
        }
    }
    if (!name_space && report && !reported.failure.exchange(true)) {
        char text[kLogLineBytes];
        (void)format_into(text, sizeof text, "Could not make the guards' private namespace (%s): %s", step,
                          last_error_text(0));
        report(VESK_LOG_ERROR, source, text);
    }
    return name_space;
}
}  // namespace

void close_private_namespace(HANDLE name_space) { namespace_api().close_namespace(name_space, 0); }

bool guard_object_name(const char* function_name, char (&name)[kMutexNameBytes]) {
    const char* prefix = namespace_api().present ? kNamespaceAlias : "Global";
    return format_into(name, sizeof name, "%s\\%s", prefix, function_name) == Fit::ok;
}

GlobalGuard::GlobalGuard(const char* function_name, GuardReport report) {
    char name[kMutexNameBytes];
    if (!guard_object_name(function_name, name)) return;
    const NamespaceApi& api = namespace_api();
    if (api.present) {
        // A failure here is never answered with the global name, which anyone could hold.
        namespace_ = open_guard_namespace(api, function_name, report);
        if (!namespace_) return;
    } else if (report && !reported.fallback.exchange(true)) {
        char text[kLogLineBytes];
        (void)format_into(text, sizeof text, "No private namespaces on this system - guarding with \"%s\"", name);
        report(VESK_LOG_WARNING, function_name, text);
    }
    UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kGuardSddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr))
        return;
    SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor.get(), FALSE};
    mutex_.reset(CreateMutexA(&sa, TRUE, name));
    if (!mutex_) return;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        mutex_.reset();
        status_ = VESK_ERR_BUSY;
        return;
    }
    status_ = VESK_OK;
}

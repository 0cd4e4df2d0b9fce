// The Windows libraries that the programs do not import: one record per library, its module
// and the functions the programs call, looked up by name at the start of an operation (every
// lookup runs, each missing one is reported) and released with the record when it ends. Only
// kernel32, user32, gdi32, advapi32 and msvcrt are imported, so nothing else is loaded before
// restrict_dll_search() has confined the search to the system directory.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <newdev.h>
#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlobj.h>

#include "load_library.h"
#include "owners.h"

struct SetupApi {
    UniqueModule module;
    decltype(&::SetupDiGetClassDevsA) get_class_devs = nullptr;
    decltype(&::SetupDiEnumDeviceInfo) enum_device_info = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) destroy_device_info_list = nullptr;
    decltype(&::SetupDiGetDeviceRegistryPropertyA) get_registry_property_a = nullptr;
    decltype(&::SetupDiGetDeviceRegistryPropertyW) get_registry_property_w = nullptr;
    decltype(&::SetupDiSetDeviceRegistryPropertyA) set_registry_property_a = nullptr;
    decltype(&::SetupDiGetDevicePropertyW) get_device_property_w = nullptr;
    decltype(&::SetupDiOpenDevRegKey) open_dev_reg_key = nullptr;
    decltype(&::SetupCopyOEMInfW) copy_oem_inf = nullptr;
    decltype(&::CMP_WaitNoPendingInstallEvents) wait_no_pending_install_events = nullptr;
};

struct Cfgmgr32 {
    UniqueModule module;
    decltype(&::CM_Get_Device_IDA) get_device_id = nullptr;
    decltype(&::CM_Locate_DevNodeA) locate_devnode = nullptr;
    decltype(&::CM_Reenumerate_DevNode) reenumerate_devnode = nullptr;
    decltype(&::CM_Get_DevNode_Status) get_devnode_status = nullptr;
};

struct Newdev {
    UniqueModule module;
    decltype(&::UpdateDriverForPlugAndPlayDevicesW) update_driver = nullptr;
};

struct Shell32 {
    UniqueModule module;
    decltype(&::IsUserAnAdmin) is_user_an_admin = nullptr;
    decltype(&::SHGetFolderPathW) get_folder_path = nullptr;
    decltype(&::SHCreateDirectoryExW) create_directory = nullptr;
    decltype(&::ShellExecuteExW) shell_execute_ex = nullptr;
};

struct Ole32 {
    UniqueModule module;
    decltype(&::CoInitializeEx) initialize = nullptr;
    decltype(&::CoUninitialize) uninitialize = nullptr;
    decltype(&::CoCreateInstance) create_instance = nullptr;
    decltype(&::CoCreateGuid) create_guid = nullptr;
    decltype(&::StringFromGUID2) string_from_guid = nullptr;
};

// Strings and variants for calls through a dispatch interface.
struct OleAut32 {
    UniqueModule module;
    decltype(&::SysAllocString) alloc_string = nullptr;
    decltype(&::SysFreeString) free_string = nullptr;
    decltype(&::VariantClear) clear_variant = nullptr;
};

// Loaded after the activation context of the program's manifest is in place, so that its
// Common-Controls dependency gives version 6.
struct Comctl32 {
    UniqueModule module;
    decltype(&::InitCommonControlsEx) init_common_controls = nullptr;
};

// User32's per-monitor DPI calls (Windows 10 1607 and later). User32 is imported, but these
// are not in every Windows it runs on: each stays null where the system lacks it, and the
// caller goes on with the system-wide DPI.
struct User32Dpi {
    UniqueModule module;
    decltype(&::GetDpiForWindow) dpi_for_window = nullptr;
    decltype(&::SystemParametersInfoForDpi) parameters_for_dpi = nullptr;
    decltype(&::AdjustWindowRectExForDpi) adjust_rect_for_dpi = nullptr;
};

// False when the library or any of its functions is missing; `report` has said which (with
// `source` as its label), and the record holds nothing usable.
bool load_table(SetupApi& api, const char* source, MissingFunctionReport report = log_missing_function);
bool load_table(Cfgmgr32& api, const char* source, MissingFunctionReport report = log_missing_function);
bool load_table(Newdev& api, const char* source, MissingFunctionReport report = log_missing_function);
bool load_table(Shell32& api, const char* source, MissingFunctionReport report = log_missing_function);
bool load_table(Ole32& api, const char* source, MissingFunctionReport report = log_missing_function);
bool load_table(OleAut32& api, const char* source, MissingFunctionReport report = log_missing_function);
bool load_table(Comctl32& api, const char* source, MissingFunctionReport report = log_missing_function);
// Never fails and reports nothing: what this system lacks stays null.
void load_table(User32Dpi& api);

// A SetupAPI device information set, destroyed through the table it came from.
inline OwnedDevInfo own_device_info(const SetupApi& api, HDEVINFO set) {
    return OwnedDevInfo(set == INVALID_HANDLE_VALUE ? nullptr : set, DevInfoClose{api.destroy_device_info_list});
}

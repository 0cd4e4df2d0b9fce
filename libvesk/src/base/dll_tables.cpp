#include "dll_tables.h"

namespace {
// Fills one record: the module by name from the system directory, then every function, each
// missing one reported on its own.
class Lookup {
public:
    Lookup(UniqueModule& module, const char* library, const char* source, MissingFunctionReport report)
        : library_(library), source_(source), report_(report) {
        module.reset(load_system_library(library));
        module_ = module.get();
    }
    template <class Fn>
    Lookup& operator()(Fn*& out, const char* name) {
        ok_ &= resolve(module_, source_, library_, name, out, report_);  // &=: every lookup runs
        return *this;
    }
    bool ok() const { return ok_; }

private:
    HMODULE module_ = nullptr;
    const char* library_;
    const char* source_;
    MissingFunctionReport report_;
    bool ok_ = true;
};

template <class Table>
bool finish(Table& api, const Lookup& lookup) {
    if (!lookup.ok()) api = Table{};
    return lookup.ok();
}
}  // namespace

bool load_table(SetupApi& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "SetupAPI", source, report);
    l(api.get_class_devs, "SetupDiGetClassDevsA")(api.enum_device_info, "SetupDiEnumDeviceInfo");
    l(api.destroy_device_info_list, "SetupDiDestroyDeviceInfoList");
    l(api.get_registry_property_a, "SetupDiGetDeviceRegistryPropertyA");
    l(api.get_registry_property_w, "SetupDiGetDeviceRegistryPropertyW");
    l(api.set_registry_property_a, "SetupDiSetDeviceRegistryPropertyA");
    l(api.get_device_property_w, "SetupDiGetDevicePropertyW")(api.open_dev_reg_key, "SetupDiOpenDevRegKey");
    l(api.copy_oem_inf, "SetupCopyOEMInfW")(api.wait_no_pending_install_events, "CMP_WaitNoPendingInstallEvents");
    return finish(api, l);
}

bool load_table(Cfgmgr32& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "Cfgmgr32", source, report);
    l(api.get_device_id, "CM_Get_Device_IDA")(api.locate_devnode, "CM_Locate_DevNodeA");
    l(api.reenumerate_devnode, "CM_Reenumerate_DevNode")(api.get_devnode_status, "CM_Get_DevNode_Status");
    return finish(api, l);
}

bool load_table(Newdev& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "Newdev", source, report);
    l(api.update_driver, "UpdateDriverForPlugAndPlayDevicesW");
    return finish(api, l);
}

bool load_table(Shell32& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "Shell32", source, report);
    l(api.is_user_an_admin, "IsUserAnAdmin")(api.get_folder_path, "SHGetFolderPathW");
    l(api.create_directory, "SHCreateDirectoryExW")(api.shell_execute_ex, "ShellExecuteExW");
    return finish(api, l);
}

bool load_table(Ole32& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "Ole32", source, report);
    l(api.initialize, "CoInitializeEx")(api.uninitialize, "CoUninitialize")(api.create_instance, "CoCreateInstance");
    l(api.create_guid, "CoCreateGuid")(api.string_from_guid, "StringFromGUID2");
    return finish(api, l);
}

bool load_table(OleAut32& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "OleAut32", source, report);
    l(api.alloc_string, "SysAllocString")(api.free_string, "SysFreeString")(api.clear_variant, "VariantClear");
    return finish(api, l);
}

bool load_table(Comctl32& api, const char* source, MissingFunctionReport report) {
    Lookup l(api.module, "Comctl32", source, report);
    l(api.init_common_controls, "InitCommonControlsEx");
    return finish(api, l);
}

void load_table(User32Dpi& api) {
    api.module.reset(load_system_library("User32"));
    const HMODULE m = api.module.get();
    resolve_optional(m, "GetDpiForWindow", api.dpi_for_window);
    resolve_optional(m, "SystemParametersInfoForDpi", api.parameters_for_dpi);
    resolve_optional(m, "AdjustWindowRectExForDpi", api.adjust_rect_for_dpi);
}

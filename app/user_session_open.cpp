// The desktop's shell is reached through the shell windows of the session: the desktop's view,
// its background dispatch object, and the Shell.Application that this belongs to, whose
// ShellExecute runs in the Explorer process. Ole32 and OleAut32 are loaded by name.
#include "user_session_open.h"

#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "dll_tables.h"
#include "owners.h"

// shellapi.h (through dll_tables.h) maps ShellExecute to ShellExecuteW; here it is the
// dispatch interface's method of that name.
#undef ShellExecute

namespace {
constexpr char kSource[] = "open_updater";

// COM for this thread for as long as it lives, if it was not already there in another mode.
class ComApartment {
public:
    explicit ComApartment(const Ole32& ole32) : ole32_(ole32) {
        const HRESULT hr = ole32.initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        usable_ = SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
        owned_ = SUCCEEDED(hr);
    }
    ~ComApartment() {
        if (owned_) ole32_.uninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    bool usable() const { return usable_; }

private:
    const Ole32& ole32_;
    bool usable_ = false;
    bool owned_ = false;
};

// A VARIANT cleared through the table it was filled with.
class Variant {
public:
    explicit Variant(const OleAut32& api) : api_(api) { v_.vt = VT_EMPTY; }
    ~Variant() { api_.clear_variant(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT& get() { return v_; }
    bool set_string(const wchar_t* text) {
        api_.clear_variant(&v_);
        v_.bstrVal = api_.alloc_string(text);
        if (!v_.bstrVal) return false;
        v_.vt = VT_BSTR;
        return true;
    }
    void set_int(int value) {
        api_.clear_variant(&v_);
        v_.vt = VT_I4;
        v_.lVal = value;
    }

private:
    const OleAut32& api_;
    VARIANT v_{};
};

template <class I>
I** put(UniqueCom<I>& owner) {
    return owner.put();
}

// The Shell.Application object of the Explorer process that owns the desktop.
bool desktop_shell(const Ole32& ole32, const OleAut32& oleaut32, UniqueCom<IShellDispatch2>& shell) {
    UniqueCom<IShellWindows> windows;
    if (FAILED(ole32.create_instance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                     reinterpret_cast<void**>(put(windows)))))
        return false;
    Variant location(oleaut32);
    location.set_int(CSIDL_DESKTOP);
    Variant root(oleaut32);
    long window = 0;
    UniqueCom<IDispatch> desktop;
    if (windows.get()->FindWindowSW(&location.get(), &root.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                    put(desktop)) != S_OK ||
        !desktop)
        return false;
    UniqueCom<IServiceProvider> services;
    if (FAILED(desktop.get()->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(put(services)))))
        return false;
    UniqueCom<IShellBrowser> browser;
    if (FAILED(services.get()->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                            reinterpret_cast<void**>(put(browser)))))
        return false;
    UniqueCom<IShellView> view;
    if (FAILED(browser.get()->QueryActiveShellView(put(view))) || !view) return false;
    UniqueCom<IDispatch> background;
    if (FAILED(view.get()->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(put(background)))))
        return false;
    UniqueCom<IShellFolderViewDual> folder_view;
    if (FAILED(background.get()->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(put(folder_view)))))
        return false;
    UniqueCom<IDispatch> application;
    if (FAILED(folder_view.get()->get_Application(put(application))) || !application) return false;
    return SUCCEEDED(application.get()->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(put(shell))));
}
}  // namespace

bool open_in_user_session(const wchar_t* address) {
    Ole32 ole32;
    OleAut32 oleaut32;
    bool loaded = load_table(ole32, kSource);  // &=: each table reports what it lacks
    loaded &= load_table(oleaut32, kSource);
    if (!loaded) return false;
    ComApartment com(ole32);
    if (!com.usable()) return false;
    UniqueCom<IShellDispatch2> shell;
    if (!desktop_shell(ole32, oleaut32, shell)) return false;
    BSTR file = oleaut32.alloc_string(address);
    if (!file) return false;
    Variant arguments(oleaut32);
    Variant directory(oleaut32);
    Variant verb(oleaut32);
    Variant show(oleaut32);
    show.set_int(SW_SHOWNORMAL);
    const bool ok = verb.set_string(L"open") && SUCCEEDED(shell.get()->ShellExecute(
                                                    file, arguments.get(), directory.get(), verb.get(), show.get()));
    oleaut32.free_string(file);
    return ok;
}

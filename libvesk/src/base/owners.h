// RAII owners for Windows handles and C allocations: one template, one trait per resource kind.
// Closing never clobbers GetLastError(), so a failure path can still report the error.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

template <class Tr>
class Unique {
    using T = typename Tr::type;
    T v_ = Tr::invalid();

public:
    Unique() = default;
    explicit Unique(T v) noexcept : v_(v) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& o) noexcept : v_(o.release()) {}
    Unique& operator=(Unique&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Unique() { reset(); }
    T get() const noexcept { return v_; }
    T* put() noexcept {
        reset();
        return &v_;
    }
    T release() noexcept {
        T v = v_;
        v_ = Tr::invalid();
        return v;
    }
    explicit operator bool() const noexcept { return Tr::valid(v_); }
    void reset(T v = Tr::invalid()) noexcept {
        if (Tr::valid(v_)) {
            DWORD e = GetLastError();
            Tr::close(v_);
            SetLastError(e);
        }
        v_ = v;
    }
};

template <class P, auto Close>
struct NullTr {
    using type = P;
    static P invalid() { return nullptr; }
    static bool valid(P p) { return p != nullptr; }
    static void close(P p) { Close(p); }
};

struct FileTr : NullTr<HANDLE, &CloseHandle> {  // CreateFileW / CreateNamedPipeW fail with -1
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h && h != INVALID_HANDLE_VALUE; }
};

struct FindTr : FileTr {  // FindFirstFileW fails with -1 too
    static void close(HANDLE h) { FindClose(h); }
};

// CryptoAPI handles are integers, 0 when absent.
template <class H, BOOL(WINAPI* Close)(H)>
struct CryptTr {
    using type = H;
    static H invalid() { return 0; }
    static bool valid(H h) { return h != 0; }
    static void close(H h) { Close(h); }
};
inline BOOL WINAPI release_crypt_context(HCRYPTPROV p) { return CryptReleaseContext(p, 0); }

inline void local_free(void* p) { LocalFree(p); }
template <class I>
void com_release(I* p) {
    p->Release();
}

using UniqueHandle = Unique<NullTr<HANDLE, &CloseHandle>>;  // events, processes, threads, mutexes
using UniqueFile = Unique<FileTr>;                          // files, pipes
using UniqueFind = Unique<FindTr>;                          // directory listings
using UniqueModule = Unique<NullTr<HMODULE, &FreeLibrary>>;
using UniqueHkey = Unique<NullTr<HKEY, &RegCloseKey>>;   // never a predefined HKEY
using UniqueLocal = Unique<NullTr<void*, &local_free>>;  // LocalAlloc'd SIDs, descriptors, strings
using UniqueCryptProv = Unique<CryptTr<HCRYPTPROV, &release_crypt_context>>;
using UniqueCryptKey = Unique<CryptTr<HCRYPTKEY, &CryptDestroyKey>>;
using UniqueFont = Unique<NullTr<HFONT, &DeleteObject>>;  // CreateFontIndirectW, CreateFontW
template <class I>
using UniqueCom = Unique<NullTr<I*, &com_release<I>>>;  // COM interface pointers

// Handles whose close function is looked up at run time carry that function (one deleter per
// close function, filled from the library's table); closing keeps GetLastError() too.
struct DevInfoClose {  // SetupDiDestroyDeviceInfoList, from the SetupAPI table
    decltype(&::SetupDiDestroyDeviceInfoList) fn = nullptr;
    void operator()(HDEVINFO set) const noexcept {
        const DWORD e = GetLastError();
        fn(set);
        SetLastError(e);
    }
};
// Made by own_device_info() (dll_tables.h), which turns SetupDiGetClassDevs' -1 into empty.
using OwnedDevInfo = std::unique_ptr<void, DevInfoClose>;

// malloc'd blocks (the UTF-8 adaptors' strings, buffers) and C streams.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
struct CFileCloser {
    void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using UniqueCFile = std::unique_ptr<FILE, CFileCloser>;

// Typed views of a LocalAlloc'd / malloc'd block.
template <class T>
T* as(const UniqueLocal& p) {
    return static_cast<T*>(p.get());
}

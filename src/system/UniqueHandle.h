#pragma once
// Owned Windows handles and scope-exit actions.
//
// UniqueHandle<Traits> owns one handle: it closes it exactly once (when it is
// destroyed, reset or assigned over), can be moved but not copied, and gives
// the raw value to API calls through get() or, for out-parameters, put().
// Each handle kind is one traits line: its type, its "none" values and its
// close call. Nothing here logs; a failed close has nowhere useful to go.
#include <windows.h>
#include <winhttp.h>
#include <setupapi.h>
#include <tlhelp32.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept : m_value(Traits::None()) {}
    explicit UniqueHandle(Type value) noexcept : m_value(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_value(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Type get() const noexcept { return m_value; }
    bool valid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the held handle (if any) and takes the new one.
    void reset(Type value = Traits::None()) noexcept {
        Type old = m_value;
        m_value = value;
        if (Traits::IsValid(old)) Traits::Close(old);
    }
    // Gives the handle up without closing it.
    Type release() noexcept {
        Type value = m_value;
        m_value = Traits::None();
        return value;
    }
    // For APIs that return a handle through a pointer: closes what is held,
    // then lets the call write the new value.
    Type* put() noexcept {
        reset();
        return &m_value;
    }

private:
    Type m_value;
};

namespace handle_traits {

// A handle type whose only "none" value is null.
template <typename T, typename CloseResult, CloseResult(WINAPI* CloseFn)(T)>
struct NullIsNone {
    using Type = T;
    static Type None() noexcept { return nullptr; }
    static bool IsValid(Type value) noexcept { return value != nullptr; }
    static void Close(Type value) noexcept { CloseFn(value); }
};

// Kernel handles: CreateFile and CreateToolhelp32Snapshot fail with
// INVALID_HANDLE_VALUE, most other calls with null; both mean "none".
struct Kernel {
    using Type = HANDLE;
    static Type None() noexcept { return nullptr; }
    static bool IsValid(Type value) noexcept { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { CloseHandle(value); }
};

struct Find {
    using Type = HANDLE;
    static Type None() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) noexcept { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { FindClose(value); }
};

struct DeviceInfoSet {
    using Type = HDEVINFO;
    static Type None() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) noexcept { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { SetupDiDestroyDeviceInfoList(value); }
};

// Predefined root keys (HKEY_LOCAL_MACHINE, ...) are never closed.
struct RegKey {
    using Type = HKEY;
    static Type None() noexcept { return nullptr; }
    static bool IsValid(Type value) noexcept {
        return value != nullptr && (reinterpret_cast<ULONG_PTR>(value) & 0x80000000u) == 0;
    }
    static void Close(Type value) noexcept { RegCloseKey(value); }
};

}  // namespace handle_traits

using UniqueKernelHandle = UniqueHandle<handle_traits::Kernel>;
using UniqueSnapshot = UniqueHandle<handle_traits::Kernel>;  // CreateToolhelp32Snapshot
using UniqueFindHandle = UniqueHandle<handle_traits::Find>;
using UniqueRegKey = UniqueHandle<handle_traits::RegKey>;
using UniqueServiceHandle = UniqueHandle<handle_traits::NullIsNone<SC_HANDLE, BOOL, CloseServiceHandle>>;
using UniqueSid = UniqueHandle<handle_traits::NullIsNone<PSID, PVOID, FreeSid>>;
using UniqueLocal = UniqueHandle<handle_traits::NullIsNone<HLOCAL, HLOCAL, LocalFree>>;
using UniqueInternet = UniqueHandle<handle_traits::NullIsNone<HINTERNET, BOOL, WinHttpCloseHandle>>;
using UniqueDeviceInfoSet = UniqueHandle<handle_traits::DeviceInfoSet>;
using UniqueModule = UniqueHandle<handle_traits::NullIsNone<HMODULE, BOOL, FreeLibrary>>;

// Runs an action when the scope is left, on every path, unless dismissed.
template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) noexcept : m_action(std::move(action)), m_active(true) {}
    ~ScopeExit() {
        if (m_active) m_action();
    }
    ScopeExit(ScopeExit&& other) noexcept : m_action(std::move(other.m_action)), m_active(other.m_active) {
        other.m_active = false;
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ScopeExit& operator=(ScopeExit&&) = delete;

    void Dismiss() noexcept { m_active = false; }

private:
    Action m_action;
    bool m_active;
};

template <typename Action>
ScopeExit<Action> MakeScopeExit(Action action) {
    return ScopeExit<Action>(std::move(action));
}

// Owned-resource holders: heap buffers from calloc and handles from
// CreateFileW are given to a holder on the stack, so every early return of
// the long probing functions releases them.
#pragma once

#include <cstdlib>

#include "platform/api.h"
#include "platform/win32.h"

class CAutoFreeBase {
public:
    CAutoFreeBase() = default;
    CAutoFreeBase(const CAutoFreeBase &) = delete;
    CAutoFreeBase &operator=(const CAutoFreeBase &) = delete;
    virtual void Free() {}
    virtual ~CAutoFreeBase() = default;

    // Once set, destruction leaves the resource to its new owner.
    bool m_bDetached = false;
};

// Closes a handle with CloseHandle; null and INVALID_HANDLE_VALUE hold nothing.
class CAutoFreeHandle : public CAutoFreeBase {
public:
    explicit CAutoFreeHandle(HANDLE handle) : m_hHandle(handle) {}
    ~CAutoFreeHandle() override {
        if (!m_bDetached) CAutoFreeHandle::Free();
    }
    void Free() override {
        if (m_hHandle != nullptr && m_hHandle != INVALID_HANDLE_VALUE) {
            api::CloseHandle(m_hHandle);
            m_hHandle = nullptr;
        }
    }
    HANDLE Get() const { return m_hHandle; }

    HANDLE m_hHandle;
};

// Watches a pointer variable that lives outside the holder and releases
// whatever it holds at the moment of release, so a function may build the
// holder first and allocate into the variable later.
template <typename T, void (*Release)(void *) = std::free>
class CAutoFree : public CAutoFreeBase {
public:
    explicit CAutoFree(T **variable) : m_ppData(variable) {}
    ~CAutoFree() override {
        if (!m_bDetached) CAutoFree::Free();
    }
    void Free() override {
        if (m_ppData != nullptr && *m_ppData != nullptr) {
            Release(*m_ppData);
            *m_ppData = nullptr;
        }
    }

protected:
    T **m_ppData;
};

// Owns a pointer held inside itself.
template <typename T, void (*Release)(void *) = std::free>
class CAutoFreePtr : public CAutoFree<T, Release> {
public:
    explicit CAutoFreePtr(T *data) : CAutoFree<T, Release>(&m_pData), m_pData(data) {}
    ~CAutoFreePtr() override {
        if (!this->m_bDetached) CAutoFreePtr::Free();
    }
    T *Get() const { return m_pData; }

    T *m_pData;
};

// A release function and its argument, run once at scope exit.
class CReleaseGuard {
public:
    using ReleaseFn = void (*)(void *);

    CReleaseGuard(ReleaseFn release, void *argument) : m_release(release), m_argument(argument) {}
    CReleaseGuard(const CReleaseGuard &) = delete;
    CReleaseGuard &operator=(const CReleaseGuard &) = delete;
    ~CReleaseGuard() {
        if (!m_bDismissed && m_release != nullptr) m_release(m_argument);
    }

    // The releases the passes use: heap blocks, and the system releases,
    // read from their late-bound slots.
    static void Free(void *block) { std::free(block); }
    static void DestroyDeviceInfoList(void *set) { api::SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(set)); }
    static void NtClose(void *handle) { api::NtClose(static_cast<HANDLE>(handle)); }

    bool m_bDismissed = false;

private:
    ReleaseFn m_release;
    void *m_argument;
};

// The enumerator family under the legacy hooked-devices pass: walk the
// present interfaces of one interface class and hand each to ProcessDevice.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "device/DeviceInfo.h"
#include "platform/setupdi.h"
#include "platform/win32.h"

class CProcessDeviceByInterface {
public:
    explicit CProcessDeviceByInterface(const GUID *interfaceGuid) : m_pInterfaceGuid(interfaceGuid) {}
    CProcessDeviceByInterface(const CProcessDeviceByInterface &) = delete;
    CProcessDeviceByInterface &operator=(const CProcessDeviceByInterface &) = delete;

    // Handles one present interface; `device` may be null.
    virtual bool ProcessDevice(HDEVINFO set, const WCHAR *devicePath, SP_DEVINFO_DATA *device) = 0;
    // Walks the present interfaces of m_pInterfaceGuid; true when every step succeeded.
    virtual bool Enumerate();

    const GUID *m_pInterfaceGuid;

protected:
    // Enumerators live on the stack as complete objects, never deleted through a base.
    ~CProcessDeviceByInterface() = default;
};

// A growable array of plain elements.  Growth is by a step that is an eighth
// of the count, held between 4 and 1024, unless m_nGrowBy fixes it.  Running
// out of memory (or of addressable size) throws std::bad_alloc.
template <typename T, typename ARG>
class CArray {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved with memcpy");

public:
    CArray() = default;
    CArray(const CArray &) = delete;
    CArray &operator=(const CArray &) = delete;
    virtual ~CArray() { std::free(m_pItems); }

    int32_t GetSize() const { return m_nCount; }
    T &operator[](int32_t index) { return m_pItems[index]; }
    const T &operator[](int32_t index) const { return m_pItems[index]; }
    T &GetAt(int32_t index) { return m_pItems[index]; }
    const T &GetAt(int32_t index) const { return m_pItems[index]; }

    void SetSize(int32_t n) {
        if (n < 0) throw std::bad_alloc();
        if (n == 0) {
            std::free(m_pItems);
            m_pItems = nullptr;
            m_nCount = 0;
            m_nCapacity = 0;
            return;
        }
        if (m_pItems == nullptr) {
            m_pItems = Allocate(n);
            m_nCount = n;
            m_nCapacity = n;
            return;
        }
        if (n <= m_nCapacity) {
            if (n > m_nCount) std::memset(static_cast<void *>(m_pItems + m_nCount), 0, Bytes(n - m_nCount));
            m_nCount = n;
            return;
        }
        int32_t step = m_nGrowBy;
        if (step == 0) {
            step = m_nCount / 8;
            if (step < 4) step = 4;
            if (step > 1024) step = 1024;
        }
        int64_t grown = static_cast<int64_t>(m_nCapacity) + step;
        if (grown > std::numeric_limits<int32_t>::max()) grown = std::numeric_limits<int32_t>::max();
        int32_t capacity = n >= grown ? n : static_cast<int32_t>(grown);
        T *items = Allocate(capacity);
        std::memcpy(static_cast<void *>(items), m_pItems, Bytes(m_nCount));
        std::free(m_pItems);
        m_pItems = items;
        m_nCount = n;
        m_nCapacity = capacity;
    }

    int32_t Add(ARG item) {
        if (m_nCount == std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
        int32_t index = m_nCount;
        SetSize(index + 1);
        m_pItems[index] = item;
        return index;
    }

    T *m_pItems = nullptr;
    int32_t m_nCount = 0;
    int32_t m_nCapacity = 0;
    int32_t m_nGrowBy = 0;

private:
    static size_t Bytes(int32_t n) { return static_cast<size_t>(n) * sizeof(T); }
    // A zero-filled block of n elements.
    static T *Allocate(int32_t n) {
        if (static_cast<size_t>(n) > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void *block = std::calloc(static_cast<size_t>(n), sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T *>(block);
    }
};

template <typename T>
class CDeviceEnumerator {
public:
    CDeviceEnumerator() = default;
    CDeviceEnumerator(const CDeviceEnumerator &) = delete;
    CDeviceEnumerator &operator=(const CDeviceEnumerator &) = delete;

    virtual void Clear() { m_Devices.SetSize(0); }

    CArray<T, const T &> m_Devices;

protected:
    ~CDeviceEnumerator() = default;
};

// The device nodes of every present interface of one class, one entry per interface.
class CDeviceEnumeratorByInterface : public CProcessDeviceByInterface, public CDeviceEnumerator<DEVINST> {
public:
    explicit CDeviceEnumeratorByInterface(const GUID *interfaceGuid) : CProcessDeviceByInterface(interfaceGuid) {}

    bool ProcessDevice(HDEVINFO set, const WCHAR *devicePath, SP_DEVINFO_DATA *device) override;
    bool Enumerate() override;
};

// The device nodes of all present disks followed by those of all present CD-ROM drives.
class CStorageDeviceEnumerator : public CDeviceEnumerator<DEVINST> {
public:
    bool Enumerate();
};

// Classifies every hooked device and keeps the records of everything but
// fixed hard disks, unclassified devices and the system disk.
class CRemovableDeviceEnumerator : public CProcessDeviceByInterface, public CDeviceEnumerator<const CDeviceInfo *> {
public:
    CRemovableDeviceEnumerator();
    ~CRemovableDeviceEnumerator();

    bool ProcessDevice(HDEVINFO set, const WCHAR *devicePath, SP_DEVINFO_DATA *device) override;
    bool Enumerate() override;
    void Clear() override;

    CStorageDeviceEnumerator m_StorageDevices;
    CDeviceInfo *m_pSystemDevice = nullptr;
};

// The kernel name of the device behind an interface path, as a calloc'ed
// string the caller releases with free(); null on failure.
WCHAR *GetMountDeviceName(const WCHAR *devicePath);

// Opens a kernel device name for reading and writing; the caller closes a
// valid handle with NtClose.  INVALID_HANDLE_VALUE on failure.
HANDLE GetDeviceHandle(const WCHAR *deviceName);

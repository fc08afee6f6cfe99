// Shared pieces of the walks over device information sets.
#pragma once

#include "platform/os.h"
#include "platform/twocall.h"
#include "platform/win32.h"

// Walks stop here even if the set-up API keeps answering: no machine has this
// many members in one set, and a loop on the system's answers must end.
constexpr DWORD kMaxSetMembers = 0x10000;

// A device interface path is at most 32767 characters; a larger detail size
// reported by the set-up API is not believed.
constexpr DWORD kMaxInterfaceDetailBytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 32768 * sizeof(WCHAR);

// The detail block of walks that ask no size first (DetailSize::Fixed).
constexpr DWORD kFixedDetailBytes = 1040;

// A zero-filled interface detail block for the size the size query reported,
// with cbSize set.  It is never smaller than the structure and keeps a spare
// NUL character past the `usable` bytes the system may fill, so DevicePath is
// terminated inside it.  Null, usable 0, when the size is not believed or the
// allocation fails; the caller frees the block.
SP_DEVICE_INTERFACE_DETAIL_DATA_W *AllocInterfaceDetail(DWORD required, DWORD *usable);

// A set-up API two-call query: `ask(buffer, size, required)` first with no
// buffer (a success needs no block, ERROR_INSUFFICIENT_BUFFER gives the size),
// then with the block and no size output.
template <typename T, typename Ask>
TwoCall SetupDiQueryTwice(CQueryBlock &block, DWORD most, size_t (*blockBytes)(DWORD), Ask &&ask) {
    auto askSize = [&](DWORD *required) {
        if (ask(nullptr, 0, required)) return SizeAnswer::Nothing;
        return os::GetLastError() == static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER) ? SizeAnswer::Size
                                                                                     : SizeAnswer::Failed;
    };
    return QueryTwice(block, askSize, 0, most, blockBytes,
                      [&](DWORD required) { return ask(block.As<T>(), required, nullptr) != FALSE; });
}

// A device's registry property into `block`; its type is asked for with the
// block only.
TwoCall SetupDiQueryProperty(CQueryBlock &block, HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property, DWORD *type,
                             DWORD most, size_t (*blockBytes)(DWORD));

// How a walk asks for each interface's detail.  The size query asks with no
// block; its size fetches the detail into a block of that size.
enum class DetailSize {
    SuccessOrFail122,  // a size query that succeeds counts like one failing with ERROR_INSUFFICIENT_BUFFER
    MustFail122,       // only a failure with ERROR_INSUFFICIENT_BUFFER counts; a success passes the interface over
    ElementOnly,       // the size query alone fills the element (failing with 122); no block, no path
    Fixed,             // no size query: a block of kFixedDetailBytes, which a longer path does not fit
};

// Whether a size too small for the detail structure passes the interface
// over, or is taken as the structure's size.
enum class DetailFloor { AnySize, AtLeastHeader };

// Whether the detail fetch also asks for the required size (which no site
// reads), as some sites' requests always have.
enum class FetchRequired { No, Yes };

// What the walk learned of the current interface.
enum class InterfaceStep {
    Fetched,          // the element is filled, and the path read (but for ElementOnly)
    SizeSucceeded,    // the size query succeeded where it must fail
    SizeFailed,       // the size query failed with Error()
    NoDetailBlock,    // no detail block: the size is not believed (by DetailFloor too) or no memory
    FetchFailed,      // the detail fetch failed with Error()
};

// The present interfaces of one class, in enumeration order.  The walk owns
// the set and the current interface's detail block and element; the caller
// writes its own lines and decides whether to go on.
class CInterfaceWalk {
public:
    CInterfaceWalk(const GUID *interfaceClass, DetailSize size, DetailFloor floor = DetailFloor::AnySize,
                   FetchRequired fetchRequired = FetchRequired::No);
    CInterfaceWalk(const CInterfaceWalk &) = delete;
    CInterfaceWalk &operator=(const CInterfaceWalk &) = delete;
    ~CInterfaceWalk();

    // When the set could not be opened, the last error is SetupDiGetClassDevsW's.
    bool IsOpen() const { return m_set != INVALID_HANDLE_VALUE; }

    // The next interface, its detail asked for; false at the end, at kMaxSetMembers or once closed.
    bool Next();

    InterfaceStep Step() const { return m_step; }
    DWORD Error() const { return m_error; }
    HDEVINFO Set() const { return m_set; }
    SP_DEVINFO_DATA *Device() { return &m_device; }
    // The device path, terminated in the detail block; null without a fetched block.
    const WCHAR *Path() const { return m_path; }

    // Releases the detail block and destroys the set now; the walk is over.
    void Close();

private:
    InterfaceStep Ask();
    void FreeDetail();

    const GUID *m_class;
    DetailSize m_size;
    DetailFloor m_floor;
    FetchRequired m_fetchRequired;
    HDEVINFO m_set;
    DWORD m_index = 0;
    SP_DEVICE_INTERFACE_DATA m_interface{};
    SP_DEVINFO_DATA m_device{};
    SP_DEVICE_INTERFACE_DETAIL_DATA_W *m_detail = nullptr;
    const WCHAR *m_path = nullptr;
    InterfaceStep m_step = InterfaceStep::Fetched;
    DWORD m_error = 0;
    // The block of DetailSize::Fixed, with a spare NUL character.
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W header;
        BYTE bytes[kFixedDetailBytes + sizeof(WCHAR)];
    } m_fixed{};
};

// Shared pieces of the walks over device information sets.
#pragma once

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
// with cbSize set.  It is never smaller than the structure, and it has one
// spare NUL character, at a whole character of DevicePath, beyond the
// `usable` bytes the system is told it may fill, so DevicePath is always
// terminated inside the block.  Null, with usable 0, when the size is not
// believed or the allocation fails; the caller frees the block.
SP_DEVICE_INTERFACE_DETAIL_DATA_W *AllocInterfaceDetail(DWORD required, DWORD *usable);

// The first call of a set-up API two-call query: a success needs no block,
// ERROR_INSUFFICIENT_BUFFER reports the size, any other error fails.
SizeAnswer SetupDiSizeAnswer(BOOL answered);

// A set-up API two-call query: `ask(buffer, size, required)` is asked first
// with no buffer, size 0 and the size output, then with the block, the size
// reported and no size output.
template <typename T, typename Ask>
TwoCall SetupDiQueryTwice(CQueryBlock &block, DWORD most, size_t (*blockBytes)(DWORD), Ask &&ask) {
    return QueryTwice(
        block, [&](DWORD *required) { return SetupDiSizeAnswer(ask(nullptr, 0, required)); }, 0, most, blockBytes,
        [&](DWORD required) { return ask(block.As<T>(), required, nullptr) != FALSE; });
}

// How a walk asks for the detail of each interface.
enum class DetailSize {
    // The size query (no block, no element) may succeed or fail with
    // ERROR_INSUFFICIENT_BUFFER; the detail is fetched with the size reported.
    SuccessOrFail122,
    // Only a size query that fails with ERROR_INSUFFICIENT_BUFFER is an
    // answer; one that succeeds passes the interface over.
    MustFail122,
    // The size query alone, with the device element and no size output:
    // failing with ERROR_INSUFFICIENT_BUFFER it has filled the element.  No
    // detail block is fetched and the interface has no path.
    ElementOnly,
    // No size query: the detail is fetched into a fixed block of
    // kFixedDetailBytes, so a longer path fails the fetch.
    Fixed,
};

// Whether a reported size too small for the detail structure passes the
// interface over, or is taken as the structure's size.
enum class DetailFloor { AnySize, AtLeastHeader };

// What the walk learned of the current interface.
enum class InterfaceStep {
    Fetched,          // the element is filled, and the path read (but for ElementOnly)
    SizeSucceeded,    // the size query succeeded where it must fail
    SizeFailed,       // the size query failed with Error()
    SizeBelowHeader,  // the size reported cannot hold the detail structure
    NoDetailBlock,    // the detail block was not allocated: size not believed or no memory
    FetchFailed,      // the detail fetch failed with Error()
};

// The present interfaces of one class, walked in enumeration order.  The walk
// owns the set, the current interface's detail block and its device element;
// it asks for each interface's detail by its rule and hands the interface to
// the caller, who decides what to write and whether to go on.
class CInterfaceWalk {
public:
    CInterfaceWalk(const GUID *interfaceClass, DetailSize size, DetailFloor floor = DetailFloor::AnySize);
    CInterfaceWalk(const CInterfaceWalk &) = delete;
    CInterfaceWalk &operator=(const CInterfaceWalk &) = delete;
    ~CInterfaceWalk();

    // Whether the set could be opened; when it could not, the last error is
    // still the one SetupDiGetClassDevsW left.
    bool IsOpen() const { return m_set != INVALID_HANDLE_VALUE; }

    // Moves to the next interface and asks for its detail; false past the
    // last interface, past kMaxSetMembers, or once the set is closed.
    bool Next();

    InterfaceStep Step() const { return m_step; }
    DWORD Error() const { return m_error; }
    HDEVINFO Set() const { return m_set; }
    SP_DEVINFO_DATA *Device() { return &m_device; }
    // The interface's device path, terminated inside its detail block; null
    // unless the step is Fetched with a detail block.
    const WCHAR *Path() const { return m_path; }

    // Releases the detail block and destroys the set now; the walk is over.
    void Close();

private:
    InterfaceStep Ask();
    void FreeDetail();

    const GUID *m_class;
    DetailSize m_size;
    DetailFloor m_floor;
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

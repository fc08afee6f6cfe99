// Simulated device installation services (setupapi.dll) and configuration
// manager (cfgmgr32.dll), answering from the machine's devices.
#include <algorithm>
#include <cstring>

#include "platform/os.h"
#include "sim/RunState.h"
#include "sim/Ops.h"
#include "machine/Rules.h"

namespace sim {

namespace {

constexpr DWORD kErrorNoSuchDevinst = 0xE000020Bu;
constexpr DWORD kErrorInvalidRegProperty = 0xE0000209u;
constexpr DWORD kSpdrpMaximumProperty = 0x25;  // SPDRP_BASE_CONTAINERID is the last
constexpr CONFIGRET kCrNoSuchValue = 0x25u;
constexpr CONFIGRET kCrInvalidProperty = 0x35u;
constexpr ULONG kCmLocateDevnodePhantom = 0x1u;
constexpr size_t kInterfaceBits = 10;  // interfaces per device in an interface element's Reserved

// Call record targets, built only while the record is kept.
std::string PathText(const WString &path) { return Recording() ? wstr::ToUtf8(path) : std::string(); }

std::string DevinstText(DEVINST node) {
    if (!Recording()) return std::string();
    const int di = NodeIndex(node);
    if (di >= 0) return M().devices[static_cast<size_t>(di)].idText;
    return "devinst " + std::to_string(node);
}

bool Contains(const DeviceSet &set, int device) {
    const std::vector<int> &ascending = set.members.sorted.empty() ? set.members.devices : set.members.sorted;
    return std::binary_search(ascending.begin(), ascending.end(), device);
}

constexpr size_t kNoPosition = SIZE_MAX;

// Reserved holds the element's position in its set plus one (0: not known),
// as a hint that spares the membership search; it is checked, never trusted.
void FillDevinfo(PSP_DEVINFO_DATA out, int device, size_t position = kNoPosition) {
    const Device &d = M().devices[static_cast<size_t>(device)];
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    data.ClassGuid = d.hasClass ? d.cls : GUID{};
    data.DevInst = d.devinst;
    data.Reserved = position == kNoPosition ? 0 : static_cast<ULONG_PTR>(position + 1);
    std::memcpy(static_cast<void *>(out), &data, sizeof data);
}

// Reads the caller's cbSize without trusting the pointer's type.
DWORD CbSize(const void *structure) {
    DWORD cb = 0;
    std::memcpy(&cb, structure, sizeof cb);
    return cb;
}

// The element a SP_DEVINFO_DATA names within a set: the device index, or -1
// with the error already chosen.
inline int ElementOf(const DeviceSet &set, PSP_DEVINFO_DATA device, DWORD *error) {
    if (device == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return -1;
    }
    if (CbSize(device) != sizeof(SP_DEVINFO_DATA)) {
        *error = ERROR_INVALID_USER_BUFFER;
        return -1;
    }
    int index = NodeIndex(device->DevInst);
    const ULONG_PTR hint = device->Reserved;
    const std::vector<int> &devices = set.members.devices;
    if (index >= 0 && hint >= 1 && hint <= devices.size() && devices[hint - 1] == index) return index;
    if (index < 0 || !Contains(set, index)) {
        *error = kErrorNoSuchDevinst;
        return -1;
    }
    return index;
}

bool HasInterface(const Device &d, const GUID *cls, bool needPresent) {
    for (const Interface &i : d.interfaces)
        if ((cls == nullptr || i.cls == *cls) && (i.present || !needPresent)) return true;
    return false;
}

const Property *FindProperty(const Device &d, DWORD property) { return d.properties.Find(property); }

// The interface order the machine gives for a class, or null.
const std::vector<std::pair<int, size_t>> *InterfaceOrder(const GUID &cls) {
    for (const auto &[g, order] : M().interfaceOrder)
        if (g == cls) return &order;
    return nullptr;
}

// Puts the entries the class's interface order names first, in its order;
// the others keep their places after them.  `key` maps an order entry to the
// list's element type.
template <typename T, typename Key>
void ApplyInterfaceOrder(const GUID &cls, std::vector<T> *list, Key key) {
    const auto *order = InterfaceOrder(cls);
    if (order == nullptr) return;
    // The members sorted, and which of them the order took: a walk lists its
    // set once, and the program makes one walk per device it looks up.
    std::vector<T> members(*list);
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    std::vector<bool> taken(members.size(), false);
    const auto slot = [&](const T &element) {
        const auto at = std::lower_bound(members.begin(), members.end(), element);
        return at != members.end() && *at == element ? static_cast<size_t>(at - members.begin()) : members.size();
    };
    std::vector<T> ordered;
    ordered.reserve(list->size());
    for (const auto &entry : *order) {
        const T element = key(entry);
        const size_t at = slot(element);
        if (at < members.size() && !taken[at]) {
            taken[at] = true;
            ordered.push_back(element);
        }
    }
    for (const T &element : *list) {
        const size_t at = slot(element);
        if (at == members.size() || !taken[at]) ordered.push_back(element);
    }
    *list = std::move(ordered);
}

// What a query asks for, decided once per call.
struct SetQuery {
    const GUID *cls;
    bool interfaces, all, present;
    WString enumerator;  // empty: none
};

bool Selects(const SetQuery &q, const Device &d) {
    struct Candidate {
        const SetQuery &q;
        const Device &d;
        bool Present() const { return d.present; }
        bool ClassMatches() const { return d.hasClass && d.cls == *q.cls; }
        bool HasInterface() const { return sim::HasInterface(d, q.all ? nullptr : q.cls, q.present); }
        bool EnumeratorMatches() const { return rules::IdHasEnumerator(d.id, q.enumerator); }
    };
    return rules::SetSelects(rules::SetQuery{q.interfaces, q.all, q.present, !q.enumerator.empty()}, Candidate{q, d});
}

// The devices a query selects, in the order the set lists them.
std::vector<int> SelectDevices(const SetQuery &q) {
    const Machine &m = M();
    std::vector<int> devices;
    if (q.interfaces && !q.enumerator.empty()) {
        // With interfaces, the enumerator names one device instance.
        const int di = FindDeviceById(q.enumerator);
        if (di >= 0 && Selects(q, m.devices[static_cast<size_t>(di)])) devices.push_back(di);
    } else if (!q.enumerator.empty()) {
        // Only identifiers that start with the enumerator can match: take
        // them from the sorted index, then in file order.
        const WString key = rules::Folded(q.enumerator);
        const auto &ids = m.index.sortedIds;
        auto it = std::lower_bound(ids.begin(), ids.end(), key,
                                   [](const std::pair<WString, int> &e, const WString &k) { return e.first < k; });
        for (; it != ids.end() && it->first.compare(0, key.size(), key) == 0; ++it) devices.push_back(it->second);
        std::sort(devices.begin(), devices.end());
        std::erase_if(devices, [&](int i) { return !Selects(q, m.devices[static_cast<size_t>(i)]); });
    } else {
        for (size_t i = 0; i < m.devices.size(); ++i)
            if (Selects(q, m.devices[i])) devices.push_back(static_cast<int>(i));
    }
    // An interface set comes in the order of its interfaces.
    if (q.interfaces && !q.all) ApplyInterfaceOrder(*q.cls, &devices, [](const std::pair<int, size_t> &e) { return e.first; });
    return devices;
}

// An interface set's enumerator must be a whole instance identifier
// (enumerator\device\instance); a part of one is refused.
bool IsInstanceId(const WString &text) { return std::count(text.begin(), text.end(), WCHAR('\\')) >= 2; }

}  // namespace

// ---- setupapi.dll ------------------------------------------------------------

HDEVINFO WINAPI Sim_SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND, DWORD flags) {
    const Machine &m = M();
    std::string target = !Recording() ? std::string()
                         : classGuid  ? GuidText(*classGuid)
                         : enumerator ? Narrow(enumerator)
                                      : std::string();
    auto fail = [&](DWORD error) {
        Fail("SetupDiGetClassDevsW", target, error, flags);
        return INVALID_HANDLE_VALUE;
    };
    if (classGuid != nullptr)
        for (const auto &e : m.classErrors)
            if (e.first == *classGuid) return fail(e.second);
    const rules::SetQuery asked = rules::SetQueryOf(flags, false);
    SetQuery q{classGuid, asked.interfaces, asked.all, asked.present, WString()};
    if (classGuid == nullptr && !q.all) return fail(ERROR_INVALID_PARAMETER);
    if (enumerator != nullptr) q.enumerator.assign(enumerator, wstr::LenBounded(enumerator, 1024));
    if (q.interfaces && !q.enumerator.empty() && !IsInstanceId(q.enumerator)) return fail(ERROR_INVALID_DATA);
    // The query, letter case aside: flags, class and enumerator.
    std::string query(reinterpret_cast<const char *>(&flags), sizeof flags);
    if (classGuid != nullptr) query.append(reinterpret_cast<const char *>(classGuid), sizeof(GUID));
    const WString folded = rules::Folded(q.enumerator);
    query.append(reinterpret_cast<const char *>(folded.data()), folded.size() * sizeof(WCHAR));
    auto known = m.index.setMembers.find(query);
    if (known == m.index.setMembers.end()) {
        Machine::Members members;
        members.devices = SelectDevices(q);
        if (!std::is_sorted(members.devices.begin(), members.devices.end())) {
            members.sorted = members.devices;
            std::sort(members.sorted.begin(), members.sorted.end());
        }
        known = m.index.setMembers.emplace(std::move(query), std::move(members)).first;
    }
    DeviceSet *set = NewSet();
    set->members = known->second;
    set->presentOnly = q.present;
    Record("SetupDiGetClassDevsW", target, true, 0, flags);
    return static_cast<HDEVINFO>(set);
}

BOOL WINAPI Sim_SetupDiEnumDeviceInfo(HDEVINFO setHandle, DWORD index, PSP_DEVINFO_DATA device) {
    const char *op = "SetupDiEnumDeviceInfo";
    DeviceSet *set = FindSet(setHandle);
    // The target is built only on failure: this runs millions of times.
    auto fail = [&](DWORD error) { return Fail(op, HandleTarget(setHandle), error, index); };
    if (set == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (device == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (CbSize(device) != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    const std::vector<int> &devices = set->members.devices;
    if (index >= devices.size()) return fail(ERROR_NO_MORE_ITEMS);
    FillDevinfo(device, devices[index], index);
    return Succeed(op, M().devices[static_cast<size_t>(devices[index])].idText, index);
}

namespace {

// The interfaces of one class an enumeration lists: of one device, or of the
// whole set (listed once per set and class, so each index costs one step).
const std::vector<std::pair<int, size_t>> &ListInterfaces(DeviceSet &set, int only, const GUID &cls,
                                                          std::vector<std::pair<int, size_t>> *own) {
    const Machine &m = M();
    auto add = [&](int di, std::vector<std::pair<int, size_t>> *out) {
        const Device &d = m.devices[static_cast<size_t>(di)];
        for (size_t k = 0; k < d.interfaces.size() && k < (size_t{1} << kInterfaceBits); ++k) {
            const Interface &itf = d.interfaces[k];
            if (itf.cls == cls && (itf.present || !set.presentOnly)) out->emplace_back(di, k);
        }
    };
    if (only >= 0) {
        add(only, own);
        return *own;
    }
    if (!set.interfacesListed || !(set.listedClass == cls)) {
        set.listedInterfaces.clear();
        for (int di : set.members.devices) add(di, &set.listedInterfaces);
        ApplyInterfaceOrder(cls, &set.listedInterfaces, [](const std::pair<int, size_t> &e) { return e; });
        set.interfacesListed = true;
        set.listedClass = cls;
    }
    return set.listedInterfaces;
}

}  // namespace

BOOL WINAPI Sim_SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA device, const GUID *interfaceClass,
                                            DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    const char *op = "SetupDiEnumDeviceInterfaces";
    DeviceSet *set = FindSet(setHandle);
    std::string target = !Recording() ? std::string() : interfaceClass ? GuidText(*interfaceClass) : HandleText(setHandle);
    if (set == nullptr) return Fail(op, target, ERROR_INVALID_HANDLE, index);
    if (interfaceClass == nullptr || data == nullptr) return Fail(op, target, ERROR_INVALID_PARAMETER, index);
    if (CbSize(data) != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(op, target, ERROR_INVALID_USER_BUFFER, index);
    int only = -1;
    if (device != nullptr) {
        DWORD error = 0;
        only = ElementOf(*set, device, &error);
        if (only < 0) return Fail(op, target, error, index);
    }
    std::vector<std::pair<int, size_t>> own;
    const auto &listed = ListInterfaces(*set, only, *interfaceClass, &own);
    if (index >= listed.size()) return Fail(op, target, ERROR_NO_MORE_ITEMS, index);
    const auto [di, k] = listed[index];
    const Device &d = M().devices[static_cast<size_t>(di)];
    const Interface &itf = d.interfaces[k];
    SP_DEVICE_INTERFACE_DATA out;
    std::memset(&out, 0, sizeof out);
    out.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    out.InterfaceClassGuid = itf.cls;
    out.Flags = itf.present && d.present ? SPINT_ACTIVE : 0;
    out.Reserved = (static_cast<ULONG_PTR>(di + 1) << kInterfaceBits) | k;
    std::memcpy(static_cast<void *>(data), &out, sizeof out);
    return Succeed(op, PathText(itf.path), index);
}

BOOL WINAPI Sim_SetupDiGetDeviceInterfaceDetailW(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                 PDWORD required, PSP_DEVINFO_DATA device) {
    const char *op = "SetupDiGetDeviceInterfaceDetailW";
    DeviceSet *set = FindSet(setHandle);
    std::string target = HandleTarget(setHandle);
    if (set == nullptr) return Fail(op, target, ERROR_INVALID_HANDLE);
    if (data == nullptr) return Fail(op, target, ERROR_INVALID_PARAMETER);
    if (CbSize(data) != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(op, target, ERROR_INVALID_USER_BUFFER);
    ULONG_PTR reserved = data->Reserved;
    int di = static_cast<int>(reserved >> kInterfaceBits) - 1;
    size_t k = reserved & ((size_t{1} << kInterfaceBits) - 1);
    const Machine &m = M();
    if (di < 0 || !Contains(*set, di) || k >= m.devices[static_cast<size_t>(di)].interfaces.size())
        return Fail(op, target, ERROR_INVALID_PARAMETER);
    const Interface &itf = m.devices[static_cast<size_t>(di)].interfaces[k];
    target = PathText(itf.path);
    if (detail == nullptr && size != 0) return Fail(op, target, ERROR_INVALID_USER_BUFFER);
    if (detail != nullptr && (size < sizeof(DWORD) || CbSize(detail) != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)))
        return Fail(op, target, ERROR_INVALID_USER_BUFFER);
    if (device != nullptr && CbSize(device) != sizeof(SP_DEVINFO_DATA)) return Fail(op, target, ERROR_INVALID_USER_BUFFER);
    const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const size_t needed = pathOffset + sizeof(WCHAR) * (itf.path.size() + 1);
    // The size and the element are reported also when the buffer is too small.
    if (required != nullptr) *required = static_cast<DWORD>(needed);
    if (device != nullptr) FillDevinfo(device, di);
    if (detail == nullptr || size < needed) return Fail(op, target, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(reinterpret_cast<unsigned char *>(detail) + pathOffset, itf.path.c_str(),
                sizeof(WCHAR) * (itf.path.size() + 1));
    return Succeed(op, target);
}

BOOL WINAPI Sim_SetupDiGetDeviceRegistryPropertyW(HDEVINFO setHandle, PSP_DEVINFO_DATA device, DWORD property,
                                                  PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    const char *op = "SetupDiGetDeviceRegistryPropertyW";
    DeviceSet *set = FindSet(setHandle);
    if (set == nullptr) return Fail(op, HandleTarget(setHandle), ERROR_INVALID_HANDLE, property);
    DWORD error = 0;
    int di = ElementOf(*set, device, &error);
    if (di < 0) return Fail(op, HandleTarget(setHandle), error, property);
    const Device &d = M().devices[static_cast<size_t>(di)];
    const std::string &id = d.idText;
    if (property >= kSpdrpMaximumProperty) return Fail(op, id, kErrorInvalidRegProperty, property);
    if (buffer == nullptr && size != 0) return Fail(op, id, ERROR_INVALID_USER_BUFFER, property);
    const Property *p = FindProperty(d, property);
    if (p == nullptr) return Fail(op, id, ERROR_INVALID_DATA, property);
    if (type != nullptr) *type = p->type;
    if (required != nullptr) *required = static_cast<DWORD>(p->data.size());
    if (buffer == nullptr || size < p->data.size()) return Fail(op, id, ERROR_INSUFFICIENT_BUFFER, property);
    if (!p->data.empty()) std::memcpy(buffer, p->data.data(), p->data.size());
    return Succeed(op, id, property);
}

BOOL WINAPI Sim_SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    std::string target = HandleTarget(set);
    if (!DestroySet(set)) return Fail("SetupDiDestroyDeviceInfoList", target, ERROR_INVALID_HANDLE);
    return Succeed("SetupDiDestroyDeviceInfoList", target);
}

// ---- cfgmgr32.dll ------------------------------------------------------------

CONFIGRET WINAPI Sim_CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG flags) {
    const char *op = "CM_Get_Device_ID_Size";
    if (length == nullptr) return Cr(op, DevinstText(node), CR_INVALID_POINTER);
    if (flags != 0) return Cr(op, DevinstText(node), CR_INVALID_FLAG);
    int di = NodeIndex(node);
    if (di < 0) return Cr(op, DevinstText(node), CR_INVALID_DEVNODE);
    if (const auto &error = M().devices[static_cast<size_t>(di)].idError) return Cr(op, DevinstText(node), *error);
    *length = static_cast<ULONG>(M().devices[static_cast<size_t>(di)].id.size());
    return Cr(op, DevinstText(node), CR_SUCCESS);
}

CONFIGRET WINAPI Sim_CM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
    const char *op = "CM_Get_Device_IDW";
    if (buffer == nullptr) return Cr(op, DevinstText(node), CR_INVALID_POINTER);
    if (flags != 0) return Cr(op, DevinstText(node), CR_INVALID_FLAG);
    int di = NodeIndex(node);
    if (di < 0) return Cr(op, DevinstText(node), CR_INVALID_DEVNODE);
    if (const auto &error = M().devices[static_cast<size_t>(di)].idError) return Cr(op, DevinstText(node), *error);
    const WString &id = M().devices[static_cast<size_t>(di)].id;
    // As much as fits; the terminator only when the whole identifier does.
    size_t copy = id.size() < length ? id.size() : length;
    if (copy != 0) std::memcpy(buffer, id.c_str(), copy * sizeof(WCHAR));
    if (length < id.size() + 1) return Cr(op, DevinstText(node), CR_BUFFER_SMALL);
    buffer[id.size()] = 0;
    return Cr(op, DevinstText(node), CR_SUCCESS);
}

// CM_Get_Parent, CM_Get_Child and CM_Get_Sibling: one relation of a node,
// given as the index of the related device or -1 when there is none.
static CONFIGRET RelatedNode(const char *op, PDEVINST out, DEVINST node, ULONG flags, int (*related)(size_t index)) {
    if (out == nullptr) return Cr(op, DevinstText(node), CR_INVALID_POINTER);
    if (flags != 0) return Cr(op, DevinstText(node), CR_INVALID_FLAG);
    int di = NodeIndex(node);
    if (di < 0) return Cr(op, DevinstText(node), CR_INVALID_DEVNODE);
    int other = related(static_cast<size_t>(di));
    if (other < 0) return Cr(op, DevinstText(node), CR_NO_SUCH_DEVNODE);
    *out = M().devices[static_cast<size_t>(other)].devinst;
    return Cr(op, DevinstText(node), CR_SUCCESS);
}

CONFIGRET WINAPI Sim_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
    return RelatedNode("CM_Get_Parent", parent, node, flags, [](size_t i) { return M().devices[i].parent; });
}

CONFIGRET WINAPI Sim_CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags) {
    return RelatedNode("CM_Get_Child", child, node, flags, [](size_t i) { return M().index.firstChild[i]; });
}

CONFIGRET WINAPI Sim_CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags) {
    return RelatedNode("CM_Get_Sibling", sibling, node, flags, [](size_t i) { return M().index.nextSibling[i]; });
}

CONFIGRET WINAPI Sim_CM_Locate_DevNodeW(PDEVINST node, PWSTR id, ULONG flags) {
    const char *op = "CM_Locate_DevNodeW";
    std::string target = TextTarget(id);
    if (node == nullptr) return Cr(op, target, CR_INVALID_POINTER);
    *node = 0;
    const Machine &m = M();
    int found = -1;
    if (id == nullptr || id[0] == 0) {
        // No identifier: the root of the tree, the first node without a parent.
        for (size_t i = 0; i < m.devices.size() && found < 0; ++i)
            if (m.devices[i].parent < 0) found = static_cast<int>(i);
    } else {
        found = FindDeviceById(WString(id, wstr::LenBounded(id, 32768)));
    }
    if (found < 0) return Cr(op, target, CR_NO_SUCH_DEVNODE);
    if (!m.devices[static_cast<size_t>(found)].present && !(flags & kCmLocateDevnodePhantom))
        return Cr(op, target, CR_NO_SUCH_DEVNODE);
    *node = m.devices[static_cast<size_t>(found)].devinst;
    return Cr(op, target, CR_SUCCESS);
}

CONFIGRET WINAPI Sim_CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                       PULONG length, ULONG flags) {
    const char *op = "CM_Get_DevNode_Registry_PropertyW";
    std::string target = DevinstText(node);
    if (length == nullptr) return Cr(op, target, CR_INVALID_POINTER, property);
    if (flags != 0) return Cr(op, target, CR_INVALID_FLAG, property);
    if (property == 0 || property > 0x37) return Cr(op, target, kCrInvalidProperty, property);
    int di = NodeIndex(node);
    if (di < 0) return Cr(op, target, CR_INVALID_DEVNODE, property);
    // CM_DRP_ codes are the SPDRP_ codes plus one.
    const Property *p = FindProperty(M().devices[static_cast<size_t>(di)], property - 1);
    if (p == nullptr) return Cr(op, target, kCrNoSuchValue, property);
    if (type != nullptr) *type = p->type;
    ULONG have = *length;
    *length = static_cast<ULONG>(p->data.size());
    if (buffer == nullptr || have < p->data.size()) return Cr(op, target, CR_BUFFER_SMALL, property);
    if (!p->data.empty()) std::memcpy(buffer, p->data.data(), p->data.size());
    return Cr(op, target, CR_SUCCESS, property);
}

CONFIGRET WINAPI Sim_CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags) {
    const char *op = "CM_Get_DevNode_Status";
    std::string target = DevinstText(node);
    if (status == nullptr || problem == nullptr) return Cr(op, target, CR_INVALID_POINTER);
    if (flags != 0) return Cr(op, target, CR_INVALID_FLAG);
    int di = NodeIndex(node);
    if (di < 0) return Cr(op, target, CR_INVALID_DEVNODE);
    const Device &d = M().devices[static_cast<size_t>(di)];
    if (d.statusError) return Cr(op, target, *d.statusError);
    *status = d.status;
    *problem = d.problem;
    return Cr(op, target, CR_SUCCESS);
}

}  // namespace sim

namespace sim::direct {

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO setHandle, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                 PDWORD requiredSize) {
    sim::SimulatorScope scope;
    const char *op = "SetupDiGetDeviceInstanceIdW";
    sim::DeviceSet *set = sim::FindSet(setHandle);
    std::string target = sim::HandleTarget(setHandle);
    if (set == nullptr) return sim::Fail(op, target, ERROR_INVALID_HANDLE);
    // A wrong cbSize or an element of another set is a bad parameter here,
    // unlike in the other element calls.
    DWORD error = 0;
    int di = sim::ElementOf(*set, device, &error);
    if (di < 0) return sim::Fail(op, target, ERROR_INVALID_PARAMETER);
    const sim::Device &d = sim::M().devices[static_cast<size_t>(di)];
    if (id == nullptr && idSize != 0) return sim::Fail(op, d.idText, ERROR_INVALID_USER_BUFFER);
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(d.id.size() + 1);
    if (id == nullptr || idSize < d.id.size() + 1) return sim::Fail(op, d.idText, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(id, d.id.c_str(), (d.id.size() + 1) * sizeof(WCHAR));
    return sim::Succeed(op, d.idText);
}

}  // namespace sim::direct

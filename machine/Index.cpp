// The machine's lookup index, built once it is read: each request the
// simulator answers then costs what the real system's lookup would, not a
// scan of the whole machine.
#include <algorithm>

#include "machine/Model.h"
#include "machine/Rules.h"

namespace machine {

namespace {

// DEVINSTs in another order than the devices' (a captured machine lists its
// devices as its sets did): each is looked up on every operation on a device
// node, so values that fit a table of a few times the devices get one.  The
// first device with a value has it.
void IndexDevinsts(const std::vector<Device> &devices, Machine::Index &x) {
    DEVINST most = 0;
    for (const Device &d : devices) most = std::max(most, d.devinst);
    if (most <= 4 * devices.size() + 1024) {
        x.devinstSlots.assign(size_t{most} + 1, -1);
        for (size_t i = 0; i < devices.size(); ++i)
            if (x.devinstSlots[devices[i].devinst] < 0) x.devinstSlots[devices[i].devinst] = static_cast<int>(i);
        return;
    }
    for (size_t i = 0; i < devices.size(); ++i) x.deviceByDevinst.emplace(devices[i].devinst, static_cast<int>(i));
}

}  // namespace

void IndexMachine(Machine &m) {
    Machine::Index &x = m.index;
    x = Machine::Index{};
    const size_t n = m.devices.size();
    x.deviceById.reserve(n);
    x.sortedIds.reserve(n);
    x.firstChild.assign(n, -1);
    x.nextSibling.assign(n, -1);
    std::vector<int> lastChild(n, -1);
    int lastRoot = -1;
    for (size_t i = 0; i < n; ++i) x.plainDevinst = x.plainDevinst && m.devices[i].devinst == i + 1;
    if (!x.plainDevinst) IndexDevinsts(m.devices, x);
    // First entry wins, as the scans in file order this replaces did.
    for (size_t i = 0; i < n; ++i) {
        const Device &d = m.devices[i];
        const int di = static_cast<int>(i);
        WString id = rules::Folded(d.id);
        x.deviceById.emplace(id, di);
        x.sortedIds.emplace_back(std::move(id), di);
        for (size_t k = 0; k < d.interfaces.size(); ++k)
            x.interfaceByPath.emplace(rules::Folded(d.interfaces[k].path), std::make_pair(di, static_cast<int>(k)));
        // Siblings in file order: children of one parent, or the roots.
        int &last = d.parent >= 0 ? lastChild[static_cast<size_t>(d.parent)] : lastRoot;
        if (last >= 0)
            x.nextSibling[static_cast<size_t>(last)] = di;
        else if (d.parent >= 0)
            x.firstChild[static_cast<size_t>(d.parent)] = di;
        last = di;
    }
    std::stable_sort(x.sortedIds.begin(), x.sortedIds.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (size_t i = 0; i < m.objects.size(); ++i) {
        const Object &o = m.objects[i];
        const int oi = static_cast<int>(i);
        x.objectByName.emplace(rules::Folded(o.name), oi);
        x.objectByExactName.emplace(o.name, oi);
        for (const WString &a : o.aliases) {
            x.objectByName.emplace(rules::Folded(a), oi);
            x.objectByExactName.emplace(a, oi);
        }
    }
}

}  // namespace machine

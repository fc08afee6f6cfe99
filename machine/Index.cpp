// The machine's lookup index, built once it is read: each request the
// simulator answers then costs what the real system's lookup would, not a
// scan of the whole machine.
#include <algorithm>

#include "machine/Model.h"
#include "machine/Rules.h"

namespace machine {

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
    if (!x.plainDevinst)
        for (size_t i = 0; i < n; ++i) x.deviceByDevinst.emplace(m.devices[i].devinst, static_cast<int>(i));
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

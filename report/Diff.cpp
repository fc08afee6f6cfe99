#include "report/Diff.h"

#include <algorithm>
#include <unordered_map>

namespace report {

std::vector<std::pair<std::string, std::string>> FactTexts(const Facts &facts) {
    auto number = [](const auto &value) { return value ? std::to_string(*value) : std::string(); };
    std::string removable;
    if (facts.removable) removable = *facts.removable == 0 ? "no" : *facts.removable == 1 ? "yes" : "not determined";
    std::string boot;
    if (facts.bootDrive) boot = *facts.bootDrive ? "yes" : "no";
    return {
        {"type", facts.type ? TypeName(*facts.type) : std::string()},
        {"manufacturer", facts.manufacturer},
        {"model", facts.model},
        {"serial", facts.serial},
        {"media size", number(facts.mediaSize)},
        {"device number", number(facts.deviceNumber)},
        {"removable", removable},
        {"boot drive", boot},
    };
}

bool Matches(const Device &device, const std::string &filter) {
    const std::string wanted = DeviceKey(filter);
    auto holds = [&wanted](const std::string &text) { return DeviceKey(text).find(wanted) != std::string::npos; };
    const Facts &facts = device.facts;
    if (holds(device.key) || holds(facts.manufacturer + " " + facts.model) || holds(facts.serial)) return true;
    if (device.devinst && wanted == std::to_string(*device.devinst)) return true;
    const MachineDevice *known = device.machine;
    if (!known) return false;
    if (holds(known->description) || holds(known->friendlyName)) return true;
    return std::any_of(known->driveLetters.begin(), known->driveLetters.end(), [&wanted](const std::string &letter) {
        return DeviceKey(letter) == wanted || DeviceKey(letter) == wanted + ":";
    });
}

namespace {

// Where a device stands, in one text: its findings with their reasons, or
// its standing where it has none.
std::string StandingText(const Device &device) {
    if (device.findings.empty()) return device.standing.Full();
    std::string text;
    for (const Finding &finding : device.findings) text += (text.empty() ? "" : "; ") + finding.Full();
    return text;
}

}  // namespace

bool SessionDiff::Empty() const {
    return gone.empty() && added.empty() && facts.empty() &&
           std::all_of(lists.begin(), lists.end(), [](const auto &changes) { return changes.empty(); });
}

SessionDiff DiffSessions(const Session &from, const Session &to, const std::string &filter) {
    SessionDiff diff;
    diff.from = &from;
    diff.to = &to;
    std::unordered_map<std::string, const Device *> before, after;
    for (const Device &device : from.devices) before.emplace(device.key, &device);
    for (const Device &device : to.devices) after.emplace(device.key, &device);

    // Devices in the order the later session names them, then those it lost.
    std::vector<std::pair<const Device *, const Device *>> pairs;
    for (const Device &device : to.devices) {
        const auto it = before.find(device.key);
        pairs.emplace_back(it == before.end() ? nullptr : it->second, &device);
    }
    for (const Device &device : from.devices)
        if (!after.count(device.key)) pairs.emplace_back(&device, nullptr);

    for (const auto &[a, b] : pairs) {
        const Device &any = b ? *b : *a;
        // A DEVINST names a node in one session only: unnamed nodes do not compare.
        if (any.unnamed || (!filter.empty() && !Matches(any, filter))) continue;
        for (int list = 0; list < kListCount; ++list) {
            const int was = a ? a->lists[list] : 0, is = b ? b->lists[list] : 0;
            if (was != is) diff.lists[list].push_back({any.id, was, is});
        }
        if (!a) diff.added.push_back(any.id);
        if (!b) diff.gone.push_back(any.id);
        if (!a || !b) continue;
        const auto old = FactTexts(a->facts), now = FactTexts(b->facts);
        for (std::size_t i = 0; i < old.size(); ++i)
            if (old[i].second != now[i].second) diff.facts.push_back({any.id, old[i].first, old[i].second, now[i].second});
        if (const std::string was = StandingText(*a), is = StandingText(*b); was != is)
            diff.facts.push_back({any.id, "standing", was, is});
    }
    return diff;
}

}  // namespace report

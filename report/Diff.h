// What changed between two sessions of a log.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "report/Session.h"

namespace report {

// A device's facts as named texts, in a fixed order; empty text: not known.
std::vector<std::pair<std::string, std::string>> FactTexts(const Facts &facts);

// The filter of --device, case-blind: the identifier, manufacturer and
// model, serial, description or friendly name holds the text, or it is the
// DEVINST or a drive letter of the device.
bool Matches(const Device &device, const std::string &filter);

struct ListChange {
    std::string id;
    int from = 0, to = 0;  // times listed
};

struct FactChange {
    std::string id, fact, from, to;
};

struct SessionDiff {
    const Session *from = nullptr;
    const Session *to = nullptr;
    std::array<std::vector<ListChange>, kListCount> lists;
    std::vector<std::string> gone, added;  // devices named in only one of the sessions
    std::vector<FactChange> facts;
    bool Empty() const;
};

SessionDiff DiffSessions(const Session &from, const Session &to, const std::string &filter);

}  // namespace report

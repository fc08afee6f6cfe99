// Building blocks for the expected trace lines of the device tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "device/DeviceInfo.h"
#include "platform/wstr.h"

namespace device_test {

using LineList = std::vector<std::string>;

// Concatenates pieces: single lines and line groups.
class Expect {
public:
    Expect &operator()(const std::string &line) {
        m_lines.push_back(line);
        return *this;
    }
    Expect &operator()(const LineList &group) {
        m_lines.insert(m_lines.end(), group.begin(), group.end());
        return *this;
    }
    const LineList &lines() const { return m_lines; }
    operator const LineList &() const { return m_lines; }

private:
    LineList m_lines;
};

// A successful GetDeviceId for a device node.
inline LineList IdLines(const std::string &id) { return {"ENTER GetDeviceId", "INFO GetDeviceId " + id, "LEAVE GetDeviceId"}; }

// GetDeviceRegistryProperty that found its value, or failed with `error`.
inline LineList PropOk(uint32_t code) {
    return {"ENTER GetDeviceRegistryProperty " + std::to_string(code), "LEAVE GetDeviceRegistryProperty"};
}
inline LineList PropErr(uint32_t code, uint32_t error) {
    return {"ENTER GetDeviceRegistryProperty " + std::to_string(code),
            "ERROR GetDeviceRegistryProperty " + std::to_string(error), "LEAVE GetDeviceRegistryProperty"};
}

// GetDeviceNumber answering `number`.
inline LineList NumberLines(uint32_t number) {
    return {"ENTER GetDeviceNumber", "INFO GetDeviceNumber " + std::to_string(number), "LEAVE GetDeviceNumber"};
}

// The dump of a record, written from its fields independently of Dump().
struct DumpValues {
    int32_t type = -1;
    int32_t subType = -1;
    std::string manufacturer, model, version, serial;
    int64_t mediaSize = -1;
    uint32_t deviceId = 0xFFFFFFFFu;
    std::string uniqueId;
    int removable = 2;
    bool storage = false;
};
inline LineList DumpLines(const DumpValues &v) {
    return {"\t Type " + std::to_string(v.type),
            "\t SubType " + std::to_string(v.subType),
            "\t Manufacturer " + v.manufacturer,
            "\t Model " + v.model,
            "\t Version " + v.version,
            "\t Serial " + v.serial,
            "\t MediaSize " + std::to_string(v.mediaSize),
            "\t DeviceID " + std::to_string(v.deviceId),
            "\t UniqueDeviceID " + v.uniqueId,
            "\t IsRemovable " + std::to_string(v.removable),
            std::string("\t IsStorageDevice ") + (v.storage ? "1" : "0")};
}

// True when `wanted` appears in `lines` in this order (other lines between).
inline bool ContainsInOrder(const LineList &lines, const LineList &wanted) {
    size_t next = 0;
    for (const std::string &line : lines)
        if (next < wanted.size() && line == wanted[next]) ++next;
    return next == wanted.size();
}

inline size_t CountContaining(const LineList &lines, const std::string &part) {
    size_t n = 0;
    for (const std::string &line : lines)
        if (line.find(part) != std::string::npos) ++n;
    return n;
}

inline std::string Narrow(const WCHAR *s) { return s == nullptr ? std::string() : wstr::ToUtf8(WStringView(s)); }
inline std::string Narrow(const WString &s) { return wstr::ToUtf8(s); }
inline WString Wide(const std::string &s) { return wstr::FromUtf8(s); }

}  // namespace device_test

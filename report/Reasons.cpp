// Why each device stands where it does: findings and their reasons, from the
// passes' steps the parser attributed to it. The reasons are a closed set,
// listed in docs/report.md; where the log cannot tell why, the sentence says
// what it does show.
#include <algorithm>
#include <set>

#include "report/Session.h"

namespace report {
namespace {

// The setup classes the all-devices pass walks, upper case.
bool WalkedClass(const std::string &guid) {
    static const std::set<std::string> walked = {
        "{4D36E967-E325-11CE-BFC1-08002BE10318}", "{4D36E965-E325-11CE-BFC1-08002BE10318}",
        "{4D36E980-E325-11CE-BFC1-08002BE10318}", "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
        "{36FC9E60-C465-11CF-8056-444553540000}", "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}",
        "{F12D3CF8-B11D-457E-8641-BE2AF2D6D204}", "{50DD5230-BA8A-11D1-BF5D-0000F805F530}",
        "{4D36E96D-E325-11CE-BFC1-08002BE10318}", "{4D36E978-E325-11CE-BFC1-08002BE10318}",
        "{EEC5AD98-8080-425F-922A-DABF3DE3F69A}",
    };
    return walked.count(DeviceKey(guid)) > 0;
}

class Explainer {
public:
    explicit Explainer(const Session &session) : m_session(session) {}

    void Explain(Device &device) const {
        device.findings.clear();
        if (m_session.ListsComplete()) Findings(device);
        device.standing = device.findings.empty() ? Standing(device) : device.findings.front();
    }

private:
    static std::size_t Number(std::size_t index) { return index + 1; }
    const std::string &Text(std::size_t index) const { return m_session.Quoted(index); }
    Finding::Span Line(std::size_t index) const { return {Number(index), Number(index)}; }
    Finding::Span Lines(const LineRange &range) const { return {Number(range.first), Number(range.last)}; }

    void Findings(Device &device) const {
        const auto &lists = device.lists;
        if (lists[kAllList] > 0 && lists[kHookedList] == 0) device.findings.push_back(NotHooked());
        if (lists[kHookedList] > 0 && lists[kAllList] == 0) {
            Finding finding = AllPass(device);
            finding.text = "hooked, not of interest";
            device.findings.push_back(std::move(finding));
        }
        if (lists[kHookedList] > 0 && lists[kLegacyList] == 0) device.findings.push_back(Legacy(device));
        if (lists[kHookedList] > 1) {
            Finding twice{"hooked twice", "one entry per hooked interface",
                          "the hooked pass read its identifier " + std::to_string(lists[kHookedList]) +
                              " times, once per present interface of the hooked class",
                          {}};
            for (std::size_t read : device.hookedReads) twice.lines.push_back(Line(read));
            device.findings.push_back(std::move(twice));
        }
    }

    // Of interest but not hooked: what the hooked pass shows.
    Finding NotHooked() const {
        Finding finding{"of interest but not hooked", "", "", {}};
        if (m_session.hookedFailure) {
            finding.reason = "hooked pass failed";
            finding.because = "the hooked pass itself failed: " + Text(*m_session.hookedFailure);
            finding.lines.push_back(Line(*m_session.hookedFailure));
            return finding;
        }
        if (m_session.hookedPass) finding.lines.push_back(Lines(*m_session.hookedPass));
        finding.reason = "no hooked interface";
        finding.because = "the hooked pass listed no present interface of the hooked class for this device";
        if (!m_session.hookedUnread.empty()) {
            finding.reason = "hooked pass could not read an interface";
            finding.because += ", but could not read " + std::to_string(m_session.hookedUnread.size()) +
                               " interface(s), which may include one of this device: " +
                               Text(m_session.hookedUnread.front());
            finding.lines.push_back(Line(m_session.hookedUnread.front()));
        }
        return finding;
    }

    // Why the all-devices pass did not list it; the finding's text is the caller's.
    Finding AllPass(const Device &device) const {
        Finding finding;
        if (const auto &step = device.allStep) {
            finding.reason = step->leftOut.empty() ? "read but not listed" : step->leftOut;
            if (step->decision) {
                finding.because = "the all-devices pass left it out: " + Text(*step->decision);
                finding.lines.push_back(Line(*step->decision));
            } else if (step->leftOut == "left out by its class filter") {
                finding.because = "the all-devices pass found its status good and read its compatible IDs, "
                                  "then did not read its identifier: the class filter rejected it";
                finding.lines.push_back(Lines(step->range));
            } else if (step->leftOut.empty()) {
                finding.because = "the all-devices pass read it but did not list it";
                finding.lines.push_back(Lines(step->range));
            } else {
                finding.because = "the all-devices pass could not read its device node status";
                finding.lines.push_back(Lines(step->range));
            }
            return finding;
        }
        finding.reason = "setup class not walked";
        finding.because = "the all-devices pass never names this device: " + ClassSentence(device);
        if (m_session.allPass) finding.lines.push_back(Lines(*m_session.allPass));
        return finding;
    }

    std::string ClassSentence(const Device &device) const {
        if (device.machine && !device.machine->classGuid.empty()) {
            const std::string name = device.machine->className.empty() ? device.machine->classGuid
                                                                        : device.machine->className;
            return WalkedClass(device.machine->classGuid)
                       ? "its setup class " + name + " is one the pass walks, but the pass did not meet it"
                       : "its setup class " + name + " is not one the pass walks";
        }
        std::string text = "its setup class is not one the pass walks";
        const std::size_t unnamed = m_session.unnamedNodes;
        if (unnamed > 0 && !device.devinst)
            text += unnamed == 1 ? ", or it is the device node the pass left out before reading its identifier"
                                 : ", or it is one of the " + std::to_string(unnamed) +
                                       " device nodes the pass left out before reading their identifier";
        if (unnamed > 0 && !device.devinst) text += " (--machine tells)";
        return text;
    }

    // Hooked, but missing from the legacy list: what its legacy steps show.
    Finding Legacy(const Device &device) const {
        Finding finding{"hooked, missing from the legacy list", "", "", {}};
        if (device.legacySteps.empty()) {
            finding.reason = "not processed by the legacy pass";
            finding.because = "no ProcessDevice of the legacy pass names this device";
            if (m_session.allPass && m_session.hookedPass && m_session.hookedPass->first > m_session.allPass->last + 1)
                finding.lines.push_back(Lines({m_session.allPass->last + 1, m_session.hookedPass->first - 1}));
            return finding;
        }
        const LegacyStep &step = device.legacySteps.back();
        if (step.result == false) {
            finding.reason = "legacy classification failed";
            finding.because = "the legacy pass could not classify it" +
                              (step.firstError ? ": " + Text(*step.firstError) : std::string());
            if (step.firstError) finding.lines.push_back(Line(*step.firstError));
            finding.lines.push_back(Line(step.range.last));
        } else if (!step.type || *step.type < 256) {
            finding.reason = "type below 256";
            finding.because = "the legacy pass keeps types from 256 only; its record has type " +
                              (step.type ? std::to_string(*step.type) + " (" + TypeName(*step.type) + ")"
                                         : std::string("not set"));
            finding.lines.push_back(step.dump ? Line(*step.dump) : Lines(step.range));
        } else if (step.systemDisk) {
            finding.reason = "system disk";
            finding.because = "the legacy pass leaves out the system disk: " + Text(*step.systemDisk);
            finding.lines.push_back(Line(*step.systemDisk));
        } else {
            finding.reason = "not kept by the legacy pass";
            finding.because = "its ProcessDevice ended with 1, yet the legacy list does not hold it";
            finding.lines.push_back(Lines(step.range));
        }
        return finding;
    }

    // Where a device without a finding stands.
    Finding Standing(const Device &device) const {
        const auto &lists = device.lists;
        if (!m_session.ListsComplete())
            return {"lists not written", "", "the session was cut off before its lists: membership unknown", {}};
        if (lists[kAllList] > 0 && lists[kHookedList] > 0) {
            Finding kept{"of interest and hooked", "", "listed in All devices, Hooked devices legacy and Hooked devices", {}};
            for (std::size_t line : device.listLines) kept.lines.push_back({line, line});
            return kept;
        }
        if (device.allStep) {
            Finding finding = AllPass(device);
            finding.text = "not of interest, not hooked";
            return finding;
        }
        const std::size_t first = Number(device.firstSeen);
        return {"in no list", "named by the trace only",
                "the passes read it only on the way to another device (a parent, a hub, a function)",
                {{first, first}}};
    }

    const Session &m_session;
};

}  // namespace

void ExplainDevices(Session &session) {
    const Explainer explainer(session);
    for (Device &device : session.devices) explainer.Explain(device);
}

}  // namespace report

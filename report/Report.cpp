#include "report/Report.h"

#include <charconv>
#include <optional>

#include "report/Diff.h"
#include "report/Render.h"

namespace report {
namespace {

constexpr const char *kUsage =
    "usage: enumerate-tarsel-report [--list] [--session N] [--device TEXT] [--machine FILE]\n"
    "                               [--diff A B] [--format text|json|html] LOG\n"
    "       enumerate-tarsel-report --format csv|jsonl [--session N] [--device TEXT] [--machine FILE] LOG...\n";

struct Options {
    std::vector<std::string> logs;
    bool list = false;
    std::optional<std::size_t> session;
    std::string device;
    std::string machine;
    std::optional<std::pair<std::size_t, std::size_t>> diff;
    Format format = Format::Text;
};

std::optional<Format> FormatNamed(const std::string &name) {
    static const std::pair<const char *, Format> formats[] = {
        {"text", Format::Text}, {"json", Format::Json}, {"html", Format::Html}, {"csv", Format::Csv}, {"jsonl", Format::Jsonl}};
    for (const auto &[text, format] : formats)
        if (name == text) return format;
    return std::nullopt;
}

std::optional<std::size_t> SessionNumber(const std::string &text) {
    std::size_t value = 0;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value == 0) return std::nullopt;
    return value;
}

// Fills options; on a mistake returns the one line that says what it is.
std::string ParseOptions(const std::vector<std::string> &args, Options &options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> const std::string * { return i + 1 < args.size() ? &args[++i] : nullptr; };
        if (arg == "--list") {
            options.list = true;
        } else if (arg == "--session" || arg == "--device" || arg == "--machine" || arg == "--format") {
            const std::string *text = value();
            if (!text) return arg + " needs a value";
            if (arg == "--session") {
                options.session = SessionNumber(*text);
                if (!options.session) return "--session needs a session number from 1, not \"" + *text + "\"";
            } else if (arg == "--device") {
                options.device = *text;
                if (text->empty()) return "--device needs a text";
            } else if (arg == "--machine") {
                options.machine = *text;
            } else if (const auto format = FormatNamed(*text)) {
                options.format = *format;
            } else {
                return "unknown format \"" + *text + "\" (text, json, html, csv or jsonl)";
            }
        } else if (arg == "--diff") {
            if (i + 2 >= args.size()) return "--diff needs two session numbers";
            const auto a = SessionNumber(args[i + 1]), b = SessionNumber(args[i + 2]);
            if (!a || !b) return "--diff needs two session numbers from 1";
            options.diff = std::make_pair(*a, *b);
            i += 2;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else {
            options.logs.push_back(arg);
        }
    }
    if (options.logs.empty()) return "no log named";
    const bool table = options.format == Format::Csv || options.format == Format::Jsonl;
    if (!table && options.logs.size() > 1)
        return "one log only (" + options.logs[0] + " and " + options.logs[1] + "); csv and jsonl take many";
    if (table && (options.list || options.diff)) return "--format csv and jsonl take no --list or --diff";
    if (options.list + options.session.has_value() + options.diff.has_value() > 1)
        return "--list, --session and --diff exclude each other";
    return std::string();
}

// A machine file of another machine: refused when nothing of the log is in
// it (returns the one line), noted in the session when part is not.
std::string CheckMachine(Session &session, const std::string &path) {
    const Session::MachineCheck &check = session.machineCheck;
    if (check.ids == 0 || (check.idsMissing == 0 && check.devinstsOther == 0)) return std::string();
    if (check.idsMissing == check.ids && check.devinstsOther == check.devinsts)
        return "machine file " + path + " holds none of the " + std::to_string(check.ids) +
               " devices session " + std::to_string(session.number) + " names: it is another machine's";
    session.notes.push_back("machine file " + path + ": " + std::to_string(check.idsMissing) + " of the " +
                            std::to_string(check.ids) + " identifiers the log names are not in it, and " +
                            std::to_string(check.devinstsOther) + " of its " + std::to_string(check.devinsts) +
                            " DEVINSTs name another device there: it may be another machine's file");
    return std::string();
}

bool ReadLog(const std::string &path, LogFile &log) { return OpenLog(path, log); }

// Many logs in one table: every session of each (or session N where it has one).
int RunTables(const Options &options, const Machine *machine, std::ostream &out, std::ostream &err) {
    WriteTableHead(out, options.format);
    for (const std::string &path : options.logs) {
        LogFile log;
        if (!ReadLog(path, log)) {
            err << "enumerate-tarsel-report: cannot read " << path << '\n';
            return 2;
        }
        const ReportView view{path, &log, machine, options.device};
        for (std::size_t n = 1; n <= log.sessions.size(); ++n)
            if (!options.session || *options.session == n)
                WriteTableRows(out, options.format, view, ReadSession(log, n, machine));
    }
    return 0;
}

}  // namespace

int RunReport(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    const std::string program = "enumerate-tarsel-report: ";
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << kUsage;
        return 0;
    }
    Options options;
    if (const std::string mistake = ParseOptions(args, options); !mistake.empty()) {
        err << program << mistake << '\n' << kUsage;
        return 2;
    }
    std::optional<Machine> machine;
    if (!options.machine.empty()) {
        std::string error;
        machine = ReadMachine(options.machine, error);
        if (!machine) {
            err << program << error << '\n';
            return 2;
        }
    }
    if (options.format == Format::Csv || options.format == Format::Jsonl)
        return RunTables(options, machine ? &*machine : nullptr, out, err);
    const std::string &path = options.logs[0];
    LogFile log;
    // The usual report, of the last session, is read in the same pass that finds the sessions.
    const bool lastOnly = !options.list && !options.session && !options.diff;
    LastSessionReader last(machine ? &*machine : nullptr);
    if (!OpenLog(path, log, lastOnly ? &last : nullptr)) {
        err << program << "cannot read " << path << '\n';
        return 2;
    }
    ReportView view{path, &log, machine ? &*machine : nullptr, options.device};
    const std::size_t count = log.sessions.size();

    if (options.list || count == 0) {
        std::vector<Session> sessions;
        for (std::size_t n = 1; n <= count; ++n) sessions.push_back(ReadSession(log, n, nullptr));
        WriteSessionList(out, options.format, view, sessions);
        return count == 0 ? 1 : 0;
    }
    for (std::size_t n : {options.session.value_or(count), options.diff ? options.diff->first : count,
                          options.diff ? options.diff->second : count})
        if (n > count) {
            err << program << "no session " << n << " in " << path << " (it holds " << count << ")\n";
            return 2;
        }
    std::vector<Session> sessions;
    if (options.diff)
        sessions = {ReadSession(log, options.diff->first, view.machine), ReadSession(log, options.diff->second, view.machine)};
    else if (lastOnly)
        sessions.push_back(last.Take(log));
    else
        sessions.push_back(ReadSession(log, *options.session, view.machine));
    for (Session &session : sessions) {
        if (const std::string refused = CheckMachine(session, options.machine); !refused.empty()) {
            err << program << refused << '\n';
            return 2;
        }
        if (view.machine && !view.machine->capturedBy.empty())
            session.notes.push_back("machine file " + options.machine + ": " + view.machine->capturedBy);
    }
    if (options.diff)
        WriteDiffReport(out, options.format, view, DiffSessions(sessions[0], sessions[1], options.device));
    else
        WriteSessionReport(out, options.format, view, sessions[0]);
    return 0;
}

}  // namespace report

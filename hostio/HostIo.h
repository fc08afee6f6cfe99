// The tools' dealings with files they do not own: files from customers and
// editors that they read, and the capture's machine file, written in a
// directory another run may share.  Shared by the report, the simulator's
// machine loading and the capture; nothing here knows what the files hold.
#pragma once

#include <string>
#include <string_view>

namespace hostio {

// Reads the whole of a regular file into bytes.  Anything else (a directory,
// a FIFO, a device such as /dev/zero) is refused before a byte is read: a
// FIFO would wait for a writer and a device may never end.  On refusal
// returns false and sets reason to a short phrase ("is a directory", ...).
bool ReadRegularFile(const std::string &path, std::string &bytes, std::string &reason);

// Writes text to target, a name in the current directory, as a whole: into a
// new file of a name no other run uses (process id and a random part), created
// exclusively and never through a link, flushed, then renamed over target.
// A target that is a link is replaced, never written through.  On failure
// nothing of this run is left behind; returns false and sets reason.
bool ReplaceWhole(const std::string &target, std::string_view text, std::string &reason);

// For a main's last catch: the exception in flight as one printable line.
std::string CurrentExceptionText();

// Text that came from a file, made safe to print on one line of a terminal:
// C0 controls and DEL as \n, \r, \t or \xHH, C1 controls (U+0080 to
// U+009F) as \u0085 and the like, and bytes that are not UTF-8 as \xHH.
// Everything else, backslashes included, is kept as it is.  The report
// writes C1 controls as the \xHH of their code instead (C1Form::Hex).
enum class C1Form { Unicode, Hex };
std::string PrintableLine(std::string_view text, C1Form c1 = C1Form::Unicode);

}  // namespace hostio

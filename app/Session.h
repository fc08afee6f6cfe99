// The session driver: opens the log, runs the three passes, writes the lists.
#pragma once

#include <cstdio>

// Runs one session and returns the exit status (always 0).  Console lines go
// to `console`.
int RunSession(std::FILE *console);

// The same session with the log file closed: its lines reach only the log's
// sink (SessionLog::SetSink), and a null `console` drops the console line.
// The capture replays its machine file through it.
void RunSessionWithoutFile(std::FILE *console);

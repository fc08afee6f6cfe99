// The session driver: opens the log, runs the three passes, writes the lists.
#pragma once

#include <cstdio>

// Runs one session and returns the exit status (always 0).  Console lines go
// to `console`.
int RunSession(std::FILE *console);

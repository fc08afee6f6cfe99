// enumerate-tarsel: inventories the devices the monitoring component cares
// about and appends what it found to enumerate-tarsel.txt.  Arguments are
// ignored; the exit status is always 0.
#include <cstdio>

#include "app/Session.h"

int main() { return RunSession(stdout); }

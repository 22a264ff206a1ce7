// On POSIX systems the dynamic linker never looks in the program's own folder
// or the current folder (the updater carries no run path), so there is
// nothing to restrict.
#include "driver/library_search.h"

void restrict_library_search() {}

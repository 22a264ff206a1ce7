// Terminals have no QuickEdit mode: a selection never holds a program's
// output.
#include "console/quick_edit.h"

void turn_quick_edit_off() {}

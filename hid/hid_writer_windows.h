// The Windows report writer's one piece of process-wide state.
#pragma once

#include <windows.h>

// Completion event of every report write: created on the first write that
// passes the size test (manual reset, initially signalled), never closed.
// Null until then.
extern HANDLE write_event;

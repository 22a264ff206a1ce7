// The Windows report writer's process-wide state.
#pragma once

#include <windows.h>

// Completion event of every report write: created on the first write that
// passes the size test (manual reset, initially signalled), never closed.
// Null until then.
extern HANDLE write_event;

// The request record of the latest report write. It outlives the call, since
// a request the system has not finished with may still be using it; while
// that is so, further writes are refused.
extern OVERLAPPED write_request;

// How long a cancelled request may take to end before the writer gives up
// waiting for it and fails.
constexpr DWORD CANCEL_WAIT_MS = 1000;

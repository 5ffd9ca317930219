// The manual-reset event that watch_interrupts() (system_win32.cpp) sets on every interrupt; the
// pipe server waits on it beside its overlapped reads. Windows files only.
#pragma once

namespace ketterlin::host {

// The event's handle, signalled once an interrupt has arrived; nullptr before
// watch_interrupts().
void* interrupt_event();

}  // namespace ketterlin::host

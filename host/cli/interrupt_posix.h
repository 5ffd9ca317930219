// The read end of the self-pipe that watch_interrupts() (system_posix.cpp) writes a byte to on
// every interrupt; the pipe server polls it beside its socket. POSIX files only.
#pragma once

namespace ketterlin::host {

// The descriptor, readable once an interrupt has arrived (it stays readable); -1 before
// watch_interrupts().
int interrupt_descriptor();

}  // namespace ketterlin::host

// Names the calling thread for debuggers and process viewers.
#pragma once

#include <string>
#include <string_view>

namespace ketterlin::platform {

// Gives the calling thread the name `name`. Windows keeps the whole name (SetThreadDescription);
// Linux keeps at most 15 bytes, so there the known long prefixes are shortened first
// ("ketterlin-scan-coordinator-7" becomes "kscan-coord-7", "ketterlin-scan-3" becomes
// "kscan-3") and the rest is cut. Returns false when the system refused the name.
bool set_current_thread_name(std::string_view name);

// The name the system holds for the calling thread (after any shortening), or "" when unknown.
std::string current_thread_name();

// The short form that set_current_thread_name gives the system on Linux.
std::string short_thread_name(std::string_view name);

// The name this system holds for a thread after set_current_thread_name(name) succeeded: the
// short form on Linux, `name` itself on Windows.
std::string held_thread_name(std::string_view name);

}  // namespace ketterlin::platform

#include <pthread.h>

#include "platform/thread_name.h"

namespace ketterlin::platform {

bool set_current_thread_name(std::string_view name) {
  return pthread_setname_np(pthread_self(), short_thread_name(name).c_str()) == 0;
}

std::string held_thread_name(std::string_view name) { return short_thread_name(name); }

std::string current_thread_name() {
  char buffer[16] = {};
  if (pthread_getname_np(pthread_self(), buffer, sizeof buffer) != 0) return {};
  return buffer;
}

}  // namespace ketterlin::platform

#include "host/session/helper_process.h"

namespace ketterlin::host {

platform::ChildProcessOptions helper_command(const platform::OsString& helper_path,
                                             const platform::OsString& pipe_name,
                                             const std::optional<platform::OsString>& elevator) {
  platform::ChildProcessOptions options;
  options.arguments = {platform::from_utf8("--pipe"), pipe_name};
  options.program = helper_path;
  options.standard_input = platform::StreamSetup::Null;
  if (elevator) {
    options.program = *elevator;
    options.arguments.insert(options.arguments.begin(), helper_path);
    options.standard_input = platform::StreamSetup::Inherit;
  }
  options.standard_output = platform::StreamSetup::Null;
  options.standard_error = platform::StreamSetup::Pipe;
  return options;
}

}  // namespace ketterlin::host

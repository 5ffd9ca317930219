// ketterlin-scan-helper: the elevated scanning helper. The whole run lives in run_helper.
#include "platform/process.h"
#include "scan_helper/helper.h"

int main(int argc, char** argv) {
  return ketterlin::helper::run_helper(ketterlin::platform::command_line_arguments(argc, argv));
}

// A stand-in for ketterlin-scan-helper in the host's end-to-end tests: it speaks just enough of
// the protocol to fail in one chosen way. The way is read from the environment variable
// KETTERLIN_FAKE_HELPER_MODE (this is test code; the real helper reads no environment):
//   exit-before-connect  writes to standard error and exits with 4 without connecting
//   partial              sends a progress event and the start of a tree, then exits with 0
//   killed               the same, then kills itself with SIGKILL
//   garbage              sends a line that is not JSON, then sleeps for a minute
//   out-of-order         sends a node before any treeStart
//   complete-nonzero     sends a whole run (an empty root), then exits with 3
//   unterminated         sends a whole run without the final line feed, exits with 0
//   record               writes the request line to the file KETTERLIN_FAKE_HELPER_RECORD and
//                        answers with an empty root folder and "complete"
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

int connect_to(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) exit(9);
  return fd;
}

std::string read_line(int fd) {
  std::string line;
  char byte = 0;
  while (read(fd, &byte, 1) == 1 && byte != '\n') line.push_back(byte);
  return line;
}

void send_text(int fd, const std::string& text) {
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) exit(8);
}

std::string root_node(const std::string& root) {
  return R"({"type":"node","targetIndex":0,"node":{"id":0,"parentId":null,"path":)" +
         nlohmann::json(root).dump() +
         R"(,"kind":"folder","logicalBytes":0,"sizeOnDiskBytes":0,"flags":{"cloudOnly":false,)"
         R"("compressed":false,"sparse":false,"deduplicated":false},"identity":null,)"
         R"("linkTarget":null,"modifiedAtEpochSeconds":0}})";
}

std::string whole_run(const std::string& root) {
  return std::string(R"({"type":"treeStart","targetIndex":0,"fileSystem":"other"})") + "\n" +
         root_node(root) + "\n" + R"({"type":"treeEnd","targetIndex":0})" + "\n" +
         R"({"type":"complete"})";
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode_text = getenv("KETTERLIN_FAKE_HELPER_MODE");
  const std::string mode = mode_text != nullptr ? mode_text : "";
  if (argc != 3 || strcmp(argv[1], "--pipe") != 0) return 2;
  if (mode == "exit-before-connect") {
    fputs("fake helper refuses\n", stderr);
    return 4;
  }
  const int fd = connect_to(argv[2]);
  const std::string request = read_line(fd);
  const std::string root = nlohmann::json::parse(request).at("request").at("root");
  const std::string progress =
      R"({"type":"event","event":{"type":"progress","targetIndex":0,"currentPath":"/x",)"
      R"("filesDiscovered":1,"foldersDiscovered":1,"bytesMeasured":1,"inaccessibleItemCount":0,)"
      R"("elapsedMillis":1,"status":"running"}})"
      "\n";
  if (mode == "partial" || mode == "killed") {
    send_text(fd, progress + R"({"type":"treeStart","targetIndex":0,"fileSystem":null})" + "\n" +
                      root_node(root) + "\n");
    if (mode == "killed") raise(SIGKILL);
    return 0;
  }
  if (mode == "garbage") {
    send_text(fd, progress + "not json\n");
    sleep(60);
    return 0;
  }
  if (mode == "out-of-order") {
    send_text(fd, root_node(root) + "\n");
    return 0;
  }
  if (mode == "complete-nonzero") {
    send_text(fd, whole_run(root) + "\n");
    fputs("late trouble\n", stderr);
    return 3;
  }
  if (mode == "unterminated") {
    send_text(fd, whole_run(root));
    return 0;
  }
  if (mode == "record") {
    const char* record = getenv("KETTERLIN_FAKE_HELPER_RECORD");
    std::ofstream(record != nullptr ? record : "/dev/null") << request << "\n";
    send_text(fd, whole_run(root) + "\n");
    return 0;
  }
  return 7;
}

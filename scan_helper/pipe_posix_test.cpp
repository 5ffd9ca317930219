// The channel over real Unix-domain sockets.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "scan_helper/pipe.h"
#include "unique_fd.h"

namespace ketterlin::helper {
namespace {

using platform::UniqueFd;

// A host: a listening socket in a fresh private folder.
class SocketHost : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/ketterlin-pipe-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/pipe";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener_.valid());
    ASSERT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_.get(), 1), 0);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string folder_;
  std::string path_;
  UniqueFd listener_;
};

TEST_F(SocketHost, ConnectFailuresCarryTheSystemCode) {
  struct Case {
    const char* name;
    std::string name_given;
    uint32_t code;
  };
  const Case cases[] = {
      {"no socket of that name", path_ + "-missing", ENOENT},
      {"empty name", "", ENOENT},
      {"a folder, not a socket", folder_, ECONNREFUSED},
      {"name longer than a socket path", "/" + std::string(200, 'n'), ENAMETOOLONG},
      {"zero byte inside", path_ + std::string(1, '\0') + "x", EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto connection = PipeConnection::connect(c.name_given);
    ASSERT_FALSE(connection.has_value());
    EXPECT_EQ(connection.error(), PipeError::windows(c.code));
  }
}

TEST_F(SocketHost, ExchangesFramesAndSurvivesAHostThatLeft) {
  auto connection = PipeConnection::connect(path_);
  ASSERT_TRUE(connection.has_value()) << to_string(connection.error());
  UniqueFd host(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(host.valid());

  const std::string request =
      R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"]}})"
      "\n";
  ASSERT_EQ(send(host.get(), request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  const auto message = connection->read_host_message();
  ASSERT_TRUE(message.has_value()) << to_string(message.error());
  EXPECT_EQ(message->request.targets, std::vector<platform::OsString>{"/"});

  ASSERT_TRUE(connection->send(elevation::CompleteMessage{}).has_value());
  char received[64] = {};
  const ssize_t count = recv(host.get(), received, sizeof received, 0);
  EXPECT_EQ(std::string(received, count > 0 ? count : 0), "{\"type\":\"complete\"}\n");

  host.reset();
  // The host is gone: an error value, and this process is still alive (no SIGPIPE).
  const auto sent = connection->send(elevation::CompleteMessage{});
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error(), PipeError::io(platform::OsError{EPIPE}));
}

std::set<int> open_descriptors() {
  std::set<int> open;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) open.insert(fd);
  }
  return open;
}

TEST_F(SocketHost, TwoCloseOnExecHandlesClosedWithTheConnection) {
  const std::set<int> before = open_descriptors();
  {
    auto connection = PipeConnection::connect(path_);
    ASSERT_TRUE(connection.has_value());
    PipeConnection moved = std::move(*connection);  // the handles move along, still owned once
    std::set<int> added;
    for (const int fd : open_descriptors()) {
      if (!before.contains(fd)) added.insert(fd);
    }
    EXPECT_EQ(added.size(), 2u) << "a reader and a writer";
    for (const int fd : added) EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace ketterlin::helper

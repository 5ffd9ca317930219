#include "platform/reserved_memory.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/panic.h"

namespace ketterlin::platform {
namespace {

const std::size_t kPage = reserved_memory_system::page_size();

ReservedMemory reserved(std::size_t bytes) {
  auto memory = ReservedMemory::reserve(bytes);
  EXPECT_TRUE(memory.has_value()) << (memory ? "" : to_string(memory.error()));
  return memory ? std::move(*memory) : ReservedMemory();
}

TEST(ReservedMemory, ReservesWholePagesAndCommitsNothing) {
  EXPECT_GE(kPage, 4096u);
  const ReservedMemory memory = reserved(10 * kPage + 1);
  EXPECT_NE(memory.data(), nullptr);
  EXPECT_EQ(memory.reserved_bytes(), 11 * kPage);
  EXPECT_EQ(memory.committed_bytes(), 0u);
  const ReservedMemory nothing = reserved(0);
  EXPECT_EQ(nothing.data(), nullptr);
}

TEST(ReservedMemory, CommitsWholePagesThatKeepTheirContents) {
  const struct {
    const char* name;
    std::vector<std::size_t> commits;
    std::size_t expected_pages;
  } cases[] = {
      {"one byte", {1}, 1},
      {"exactly one page", {kPage}, 1},
      {"growing", {1, kPage + 1, 3 * kPage}, 3},
      {"never shrinks", {5 * kPage, kPage}, 5},
      {"the whole reservation", {8 * kPage}, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = ReservedMemory::process_committed_bytes();
    {
      ReservedMemory memory = reserved(8 * kPage);
      auto* bytes = static_cast<unsigned char*>(memory.data());
      std::size_t written = 0;
      for (std::size_t commit : c.commits) {
        ASSERT_TRUE(memory.commit(commit).has_value());
        // Committed earlier: kept; committed now: zero. Then mark everything committed.
        for (std::size_t i = 0; i < memory.committed_bytes(); i += 512) {
          ASSERT_EQ(bytes[i], i < written ? 0xA5 : 0) << "byte " << i;
        }
        std::memset(bytes, 0xA5, memory.committed_bytes());
        written = memory.committed_bytes();
      }
      EXPECT_EQ(memory.committed_bytes(), c.expected_pages * kPage);
      EXPECT_EQ(ReservedMemory::process_committed_bytes(), before + c.expected_pages * kPage);
    }
    EXPECT_EQ(ReservedMemory::process_committed_bytes(), before);
  }
}

TEST(ReservedMemory, MovingKeepsTheAddressAndTheCommittedBytes) {
  const std::size_t before = ReservedMemory::process_committed_bytes();
  ReservedMemory first = reserved(4 * kPage);
  ASSERT_TRUE(first.commit(2 * kPage).has_value());
  static_cast<char*>(first.data())[kPage] = 'x';
  void* const address = first.data();

  ReservedMemory second(std::move(first));
  EXPECT_EQ(first.data(), nullptr);
  EXPECT_EQ(first.committed_bytes(), 0u);
  EXPECT_EQ(second.data(), address);
  EXPECT_EQ(static_cast<char*>(second.data())[kPage], 'x');

  ReservedMemory third = reserved(kPage);
  ASSERT_TRUE(third.commit(kPage).has_value());
  third = std::move(second);  // releases third's own page
  EXPECT_EQ(third.data(), address);
  EXPECT_EQ(third.committed_bytes(), 2 * kPage);
  EXPECT_EQ(ReservedMemory::process_committed_bytes(), before + 2 * kPage);
}

TEST(ReservedMemory, CommittingBeyondTheReservationStopsTheThread) {
  ReservedMemory memory = reserved(2 * kPage);
  try {
    (void)memory.commit(2 * kPage + 1);
    ADD_FAILURE() << "no panic";
  } catch (const ThreadPanic& panic) {
    EXPECT_EQ(panic.text, "commit beyond the reserved address space");
  }
  EXPECT_EQ(memory.committed_bytes(), 0u);
}

}  // namespace
}  // namespace ketterlin::platform

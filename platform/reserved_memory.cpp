#include "platform/reserved_memory.h"

#include <atomic>
#include <utility>

#include "platform/panic.h"

namespace ketterlin::platform {
namespace {

std::atomic<std::size_t> process_committed{0};

std::size_t round_up_to_page(std::size_t bytes) {
  const std::size_t page = reserved_memory_system::page_size();
  return (bytes + page - 1) / page * page;
}

}  // namespace

ReservedMemory::ReservedMemory(ReservedMemory&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      reserved_(std::exchange(other.reserved_, 0)),
      committed_(std::exchange(other.committed_, 0)) {}

ReservedMemory& ReservedMemory::operator=(ReservedMemory&& other) noexcept {
  if (this != &other) {
    release();
    base_ = std::exchange(other.base_, nullptr);
    reserved_ = std::exchange(other.reserved_, 0);
    committed_ = std::exchange(other.committed_, 0);
  }
  return *this;
}

ReservedMemory::~ReservedMemory() { release(); }

void ReservedMemory::release() {
  if (base_ == nullptr) return;
  reserved_memory_system::release(base_, reserved_);
  process_committed -= committed_;
  base_ = nullptr;
  reserved_ = 0;
  committed_ = 0;
}

tl::expected<ReservedMemory, OsError> ReservedMemory::reserve(std::size_t bytes) {
  const std::size_t rounded = round_up_to_page(bytes);
  if (rounded == 0) return ReservedMemory();
  auto base = reserved_memory_system::reserve(rounded);
  if (!base) return tl::unexpected(base.error());
  return ReservedMemory(*base, rounded);
}

tl::expected<void, OsError> ReservedMemory::commit(std::size_t bytes) {
  check(bytes <= reserved_, "commit beyond the reserved address space");
  const std::size_t wanted = round_up_to_page(bytes);
  if (wanted <= committed_) return {};
  auto committed = reserved_memory_system::commit(static_cast<std::byte*>(base_) + committed_,
                                                  wanted - committed_);
  if (!committed) return committed;
  process_committed += wanted - committed_;
  committed_ = wanted;
  return {};
}

std::size_t ReservedMemory::process_committed_bytes() { return process_committed.load(); }

}  // namespace ketterlin::platform

// Address space reserved up front and committed from its start as it is needed, so that an array
// can grow in place: its elements never move and growing copies nothing. One portable class; the
// system calls behind it are in reserved_memory_posix.cpp (mmap, mprotect) and
// reserved_memory_win32.cpp (VirtualAlloc, VirtualFree).
#pragma once

#include <cstddef>

#include <tl/expected.hpp>

#include "platform/os_error.h"

namespace ketterlin::platform {

// Owns one reservation; releases all of it when destroyed. Move-only. Not synchronised.
class ReservedMemory {
 public:
  ReservedMemory() = default;  // reserves nothing
  ReservedMemory(ReservedMemory&& other) noexcept;
  ReservedMemory& operator=(ReservedMemory&& other) noexcept;
  ~ReservedMemory();

  // Reserves `bytes` of address space, rounded up to whole pages, without committing any of it.
  // Fails with the system's error when the address space is not available.
  [[nodiscard]] static tl::expected<ReservedMemory, OsError> reserve(std::size_t bytes);

  // Makes the first `bytes` (rounded up to whole pages) readable and writable; committed bytes
  // keep their contents and newly committed ones read as zero. Never shrinks. Fails with the
  // system's error when the memory cannot be committed. Stops the thread (a programming error)
  // when `bytes` exceeds reserved_bytes().
  [[nodiscard]] tl::expected<void, OsError> commit(std::size_t bytes);

  // The start of the reservation; stays the same for the object's life, moves included.
  void* data() const { return base_; }
  std::size_t reserved_bytes() const { return reserved_; }
  std::size_t committed_bytes() const { return committed_; }

  // Bytes committed by all live reservations of the process, for memory measurements.
  // Thread-safe.
  static std::size_t process_committed_bytes();

 private:
  ReservedMemory(void* base, std::size_t reserved) : base_(base), reserved_(reserved) {}
  void release();

  void* base_ = nullptr;
  std::size_t reserved_ = 0;
  std::size_t committed_ = 0;
};

// The system calls behind ReservedMemory, implemented once per platform.
namespace reserved_memory_system {

// The granularity of reservations and commits.
std::size_t page_size();
// Reserves `bytes` (a multiple of page_size()) of inaccessible address space.
tl::expected<void*, OsError> reserve(std::size_t bytes);
// Makes [start, start + bytes) of a reservation readable and writable.
tl::expected<void, OsError> commit(void* start, std::size_t bytes);
// Releases a whole reservation made by reserve.
void release(void* base, std::size_t bytes);

}  // namespace reserved_memory_system

}  // namespace ketterlin::platform

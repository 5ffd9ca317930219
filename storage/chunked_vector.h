// Append-only storage in fixed-size chunks of 2^kChunkShift elements: growing never moves or
// copies what is stored, so a tree of millions of nodes never holds two copies of a table at
// once, and the waste is at most one partly filled chunk. Elements are value-initialised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ketterlin::storage {

template <typename T, std::size_t kChunkShift = 14>
class ChunkedVector {
 public:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkShift;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Appends a value-initialised element and returns it.
  T& emplace_back() {
    if (size_ == chunks_.size() * kChunkSize) chunks_.push_back(std::make_unique<T[]>(kChunkSize));
    T& slot = chunks_.back()[size_ & (kChunkSize - 1)];
    ++size_;
    return slot;
  }
  void push_back(const T& value) { emplace_back() = value; }

  // Precondition: index < size().
  T& operator[](std::size_t index) {
    return chunks_[index >> kChunkShift][index & (kChunkSize - 1)];
  }
  const T& operator[](std::size_t index) const {
    return chunks_[index >> kChunkShift][index & (kChunkSize - 1)];
  }

  // Bytes allocated for elements (the chunk index not counted).
  std::size_t allocated_bytes() const { return chunks_.size() * kChunkSize * sizeof(T); }

 private:
  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace ketterlin::storage

#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace qarn {

// An append-only sequence stored in fixed-size chunks: appending never moves
// what is already stored, so a list of millions of entries grows without the
// copies and the spare capacity of a doubling vector. Indexing is a shift and
// a mask. Not thread-safe for concurrent appends.
template <class T, std::size_t kChunkBits = 14>
class ChunkedVector {
 public:
  static constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  void push_back(const T& value) {
    if (size_ == chunks_.size() * kChunk) chunks_.push_back(std::make_unique<T[]>(kChunk));
    chunks_.back()[size_ & (kChunk - 1)] = value;
    ++size_;
  }

  T& operator[](std::size_t i) { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
  const T& operator[](std::size_t i) const { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }

  // Keeps the first `n` entries (n <= size()) and frees the chunks past them.
  void truncate(std::size_t n) {
    size_ = n;
    chunks_.resize((n + kChunk - 1) / kChunk);
  }

  // Entries [begin, end) as one contiguous vector.
  std::vector<T> copy(std::size_t begin, std::size_t end) const {
    std::vector<T> out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) out.push_back((*this)[i]);
    return out;
  }

  // Bytes held by the chunks.
  std::size_t memory_bytes() const { return chunks_.size() * kChunk * sizeof(T); }

 private:
  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace qarn

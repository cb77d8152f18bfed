// A growable array of trivially copyable values that grows with realloc.
// The parser's working arrays can reach the size of the input; grown this
// way, a large array is remapped in place instead of being copied into a
// new one while the old one is still held, so growing never needs twice
// its memory. From a size that depends on its use up (large_block.h) the
// array is a large block, remapped just the same.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "util/large_block.h"

namespace util {

// `kUse`: what its large blocks are for (see large_block.h).
template <class T, BlockUse kUse = BlockUse::workspace>
class PodVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  PodVector() = default;
  PodVector(const PodVector& other) { *this = other; }
  PodVector& operator=(const PodVector& other) {
    if (this != &other) {
      clear();
      reserve_more(other.size_);
      if (other.size_ != 0) std::memcpy(static_cast<void*>(data_), other.data_, other.size_ * sizeof(T));
      size_ = other.size_;
    }
    return *this;
  }
  PodVector(PodVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        large_(std::exchange(other.large_, false)) {}
  PodVector& operator=(PodVector&& other) noexcept {
    if (this != &other) {
      free_data();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      large_ = std::exchange(other.large_, false);
    }
    return *this;
  }
  ~PodVector() { free_data(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  operator std::span<const T>() const { return {data_, size_}; }

  // By value: `v.push_back(v.back())` must not read the element after the
  // growth has moved it.
  void push_back(T value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }
  // Room for `n` more elements without growing.
  void reserve_more(std::size_t n) {
    if (n > capacity_ - size_) grow(size_ + n);
  }
  // Sets the size to `n`; new elements are left uninitialised.
  void resize_uninitialised(std::size_t n) {
    if (n > capacity_) grow(n);
    size_ = n;
  }
  void assign(std::size_t n, const T& value) {
    resize_uninitialised(n);
    for (std::size_t i = 0; i < n; ++i) data_[i] = value;
  }
  void release() {
    free_data();
    data_ = nullptr;
    size_ = capacity_ = 0;
    large_ = false;
  }
  std::size_t bytes() const { return capacity_ * sizeof(T); }

  // Trades storage with `other`, whose elements become this vector's, byte
  // for byte, as values of T: a list can be turned into another of the same
  // layout without a copy held beside it. `other` is left empty, with this
  // vector's former storage as its room.
  template <class U>
  void take_elements_of(PodVector<U, kUse>& other) noexcept {
    static_assert(sizeof(U) == sizeof(T) && alignof(U) == alignof(T));
    T* mine = data_;
    data_ = static_cast<T*>(static_cast<void*>(other.data_));
    other.data_ = static_cast<U*>(static_cast<void*>(mine));
    std::swap(capacity_, other.capacity_);
    std::swap(large_, other.large_);
    size_ = std::exchange(other.size_, 0);
    // Copying the bytes onto themselves begins the life of the T values
    // they hold.
    if (size_ != 0) std::memmove(static_cast<void*>(data_), static_cast<const void*>(data_), size_ * sizeof(T));
  }

 private:
  template <class U, BlockUse>
  friend class PodVector;

  void free_data() {
    if (large_) {
      free_large_block(data_, large_block_room(capacity_ * sizeof(T)), kUse);
    } else {
      std::free(data_);
    }
  }

  void grow(std::size_t needed) {
    std::size_t capacity = capacity_ < 16 ? 16 : 2 * capacity_;
    if (capacity < needed) capacity = needed;
    if (capacity > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_alloc();
    if (capacity * sizeof(T) < large_block_threshold(kUse)) {
      void* grown = std::realloc(data_, capacity * sizeof(T));
      if (grown == nullptr) throw std::bad_alloc();
      data_ = static_cast<T*>(grown);
      capacity_ = capacity;
      return;
    }
    // The whole block is used: the capacity is what it holds (freeing
    // rounds capacity_ * sizeof(T) up to whole pages, which gives back
    // exactly this room).
    std::size_t room = large_block_room(capacity * sizeof(T));
    void* grown;
    if (large_) {
      grown = resize_large_block(data_, large_block_room(capacity_ * sizeof(T)), room, kUse);
      if (grown == nullptr) throw std::bad_alloc();
    } else {
      grown = resize_large_block(nullptr, 0, room, kUse);
      if (grown == nullptr) throw std::bad_alloc();
      if (size_ != 0) std::memcpy(grown, static_cast<const void*>(data_), size_ * sizeof(T));
      std::free(data_);
    }
    data_ = static_cast<T*>(grown);
    capacity_ = room / sizeof(T);
    large_ = true;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool large_ = false;  // data_ is a large block of large_block_room(capacity_ * sizeof(T)) bytes
};

}  // namespace util

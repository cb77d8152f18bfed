// Threads joined when their owner goes out of scope, also when starting a
// later one throws: what std::jthread gives, which Apple's libc++ has only
// from LLVM 20 on.
#pragma once

#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

namespace batch {

class JoinedThreads {
 public:
  JoinedThreads() = default;
  JoinedThreads(const JoinedThreads&) = delete;
  JoinedThreads& operator=(const JoinedThreads&) = delete;
  ~JoinedThreads() {
    for (std::thread& thread : threads_) thread.join();
  }

  void reserve(std::size_t n) { threads_.reserve(n); }

  // Runs `work` on a new thread. If the thread cannot start, std::thread's
  // std::system_error propagates and the threads already started are still
  // joined.
  template <class Work>
  void start(Work&& work) {
    threads_.emplace_back(std::forward<Work>(work));
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace batch

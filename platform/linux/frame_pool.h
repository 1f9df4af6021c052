#pragma once

// Frames lent from a small pool, shared by the screen captures: the shared
// pointers' control blocks live in the pool's slots too, so that a frame
// costs no allocation once the buffers have their size; a slot is free again
// when its control block is released.
#include <array>
#include <cstddef>
#include <memory>
#include <mutex>

#include "platform/screen_capture.h"

namespace tillerpad::platform {

constexpr int kFramePoolSize = 4;
constexpr std::size_t kControlBlockBytes = 128;

class FramePool {
 public:
  // A slot that nobody holds, now reserved; -1 when all are lent.
  int acquire() {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < kFramePoolSize; ++i) {
      if (!slots_[i].lent) {
        slots_[i].lent = true;
        return i;
      }
    }
    return -1;
  }
  CapturedFrame& frame(int slot) { return slots_[slot].frame; }
  void* controlBlock(int slot) { return slots_[slot].block; }
  void release(int slot) {
    std::lock_guard lock(mutex_);
    slots_[slot].lent = false;
  }

 private:
  struct Slot {
    CapturedFrame frame;
    alignas(std::max_align_t) unsigned char block[kControlBlockBytes];
    bool lent = false;
  };
  std::mutex mutex_;
  std::array<Slot, kFramePoolSize> slots_;
};

template <class T>
struct SlotAllocator {
  using value_type = T;
  std::shared_ptr<FramePool> pool;
  int slot = 0;
  SlotAllocator(std::shared_ptr<FramePool> p, int s) : pool(std::move(p)), slot(s) {}
  template <class U>
  SlotAllocator(const SlotAllocator<U>& other) : pool(other.pool), slot(other.slot) {}
  T* allocate(std::size_t) {
    static_assert(sizeof(T) <= kControlBlockBytes && alignof(T) <= alignof(std::max_align_t));
    return static_cast<T*>(pool->controlBlock(slot));
  }
  void deallocate(T*, std::size_t) { pool->release(slot); }
  template <class U>
  bool operator==(const SlotAllocator<U>& other) const {
    return pool == other.pool && slot == other.slot;
  }
};

inline FrameRef lend(const std::shared_ptr<FramePool>& pool, int slot) {
  return FrameRef(&pool->frame(slot), [](const CapturedFrame*) {}, SlotAllocator<CapturedFrame>(pool, slot));
}

}  // namespace tillerpad::platform

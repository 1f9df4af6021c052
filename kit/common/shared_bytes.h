#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kit/common/bytes.h"

namespace tillerpad::kit {

// Read-only bytes whose storage may be shared. A large received attachment
// keeps the buffer it was decrypted into, and a frame on its way out keeps the
// attachments it was built from, instead of either being copied. Copies share
// the storage; nothing ever writes to it through this type.
class SharedBytes {
 public:
  SharedBytes() = default;
  // Implicit, so that a Blob is still built from Bytes everywhere.
  SharedBytes(Bytes bytes) {  // NOLINT(google-explicit-constructor)
    if (bytes.empty()) return;
    auto owned = std::make_shared<Bytes>(std::move(bytes));
    view_ = ByteView(owned->data(), owned->size());
    vector_ = owned.get();
    owner_ = std::move(owned);
  }
  // `view` lies in storage that `owner` keeps alive and nobody changes.
  SharedBytes(std::shared_ptr<const void> owner, ByteView view) : owner_(std::move(owner)), view_(view) {}

  const std::uint8_t* data() const { return view_.data(); }
  std::size_t size() const { return view_.size(); }
  bool empty() const { return view_.empty(); }
  auto begin() const { return view_.begin(); }
  auto end() const { return view_.end(); }
  std::uint8_t operator[](std::size_t i) const { return view_[i]; }
  std::uint8_t at(std::size_t i) const {
    if (i >= view_.size()) throw std::out_of_range("SharedBytes::at");
    return view_[i];
  }
  ByteView view() const { return view_; }
  operator ByteView() const { return view_; }  // NOLINT(google-explicit-constructor)

  // The bytes in a vector of their own: moved out when this is the only
  // holder of a vector it was built from, copied otherwise. Leaves this empty.
  Bytes release() && {
    Bytes out;
    if (vector_ && owner_.use_count() == 1 && vector_->size() == view_.size()) {
      // use_count() reads relaxed: the fence orders the move after the reads
      // of holders that let go on other threads.
      std::atomic_thread_fence(std::memory_order_acquire);
      out = std::move(*vector_);
    } else {
      out.assign(view_.begin(), view_.end());
    }
    *this = SharedBytes();
    return out;
  }
  Bytes toBytes() const { return Bytes(view_.begin(), view_.end()); }

  friend bool operator==(const SharedBytes& a, const SharedBytes& b) { return std::ranges::equal(a.view_, b.view_); }
  friend bool operator==(const SharedBytes& a, const Bytes& b) { return std::ranges::equal(a.view_, b); }

 private:
  std::shared_ptr<const void> owner_;
  ByteView view_;
  // The vector behind owner_ when this was built from Bytes; only release() uses it.
  Bytes* vector_ = nullptr;
};

// A unit written as consecutive pieces, without joining them first.
using BytePieces = std::vector<SharedBytes>;

}  // namespace tillerpad::kit

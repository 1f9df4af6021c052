#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/pasteboard.h"

namespace tillerpad::platform::fake {

// A clipboard the test fills and reads back. Answers are taken when asked;
// they are delivered at once, or held until release() when hold() was said.
// Every write is recorded; whether it succeeds is the test's choice.
class FakePasteboard final : public Pasteboard {
 public:
  using Item = std::vector<std::pair<std::string, Bytes>>;

  // A copy on the desktop: the content is replaced and the count moves on.
  void copy(Item item) {
    std::lock_guard lock(mutex_);
    item_ = std::move(item);
    ++changeCount_;
  }
  void copyText(const std::string& text) { copy({{plainTextType, Bytes(text.begin(), text.end())}}); }

  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  // Delivers what was held and stops holding.
  void release() {
    std::vector<std::function<void()>> held;
    {
      std::lock_guard lock(mutex_);
      held_ = false;
      held.swap(waiting_);
    }
    for (auto& f : held) f();
  }
  std::size_t heldAnswers() {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }
  void refuseWrites(bool refuse) {
    std::lock_guard lock(mutex_);
    refuseWrites_ = refuse;
  }

  std::vector<Item> writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  // The types asked for with data(), in order.
  std::vector<std::string> reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  Item content() {
    std::lock_guard lock(mutex_);
    return item_;
  }

  std::int64_t changeCount() override {
    std::lock_guard lock(mutex_);
    return changeCount_;
  }

  void types(std::function<void(std::vector<std::string>)> done) override {
    std::vector<std::string> types;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [type, bytes] : item_) types.push_back(type);
    }
    answer([done = std::move(done), types = std::move(types)] { done(types); });
  }

  void data(const std::string& type, std::size_t limit, std::function<void(Data)> done) override {
    Data found;
    {
      std::lock_guard lock(mutex_);
      reads_.push_back(type);
      auto it = std::find_if(item_.begin(), item_.end(), [&](const auto& r) { return r.first == type; });
      if (it != item_.end()) found = it->second.size() <= limit ? Data::of(it->second) : Data::overLimit();
    }
    answer([done = std::move(done), found = std::move(found)] { done(found); });
  }

  void write(std::vector<std::pair<std::string, Bytes>> representations,
             std::function<void(std::optional<std::int64_t>)> done) override {
    std::optional<std::int64_t> count;
    {
      std::lock_guard lock(mutex_);
      writes_.push_back(representations);
      if (!refuseWrites_) {
        item_ = std::move(representations);
        count = ++changeCount_;
      }
    }
    answer([done = std::move(done), count] { done(count); });
  }

 private:
  void answer(std::function<void()> f) {
    {
      std::lock_guard lock(mutex_);
      if (held_) {
        waiting_.push_back(std::move(f));
        return;
      }
    }
    f();
  }

  std::mutex mutex_;
  Item item_;
  std::int64_t changeCount_ = 0;
  bool held_ = false, refuseWrites_ = false;
  std::vector<std::function<void()>> waiting_;
  std::vector<Item> writes_;
  std::vector<std::string> reads_;
};

}  // namespace tillerpad::platform::fake

#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/keyboard_layout_source.h"

namespace tillerpad::platform::fake {

// A layout given as a table (key code, shifted) → characters.
class TableKeyboardLayout : public KeyboardLayout {
 public:
  using Table = std::map<std::pair<std::uint16_t, bool>, std::u16string>;
  explicit TableKeyboardLayout(Table table) : table_(std::move(table)) {}
  std::u16string translate(std::uint16_t keyCode, bool shifted) const override {
    auto it = table_.find({keyCode, shifted});
    return it == table_.end() ? std::u16string() : it->second;
  }

 private:
  Table table_;
};

// Hands out copies of its current table (or nothing); `select` switches the
// layout and announces the change.
class FakeKeyboardLayoutSource : public KeyboardLayoutSource {
 public:
  std::unique_ptr<KeyboardLayout> currentLayout() override {
    std::lock_guard lock(mutex_);
    if (!table_) return nullptr;
    return std::make_unique<TableKeyboardLayout>(*table_);
  }
  void setOnChange(std::function<void()> onChange) override {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(onChange);
  }
  void select(std::optional<TableKeyboardLayout::Table> table) {
    std::function<void()> notify;
    {
      std::lock_guard lock(mutex_);
      table_ = std::move(table);
      notify = onChange_;
    }
    if (notify) notify();
  }

 private:
  std::mutex mutex_;
  std::optional<TableKeyboardLayout::Table> table_;
  std::function<void()> onChange_;
};

}  // namespace tillerpad::platform::fake

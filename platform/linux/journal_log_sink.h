#pragma once

#include <memory>
#include <vector>

#include "kit/common/log.h"

namespace tillerpad::platform {

// The systemd journal, with the subsystem and category as fields
// (TILLERPAD_SUBSYSTEM, TILLERPAD_CATEGORY). Nothing when no journal is
// reachable on this machine.
std::shared_ptr<kit::LogSink> makeJournalLogSink();

// True when `fd` is the journal stream systemd connected it to (it names
// that stream "device:inode" in $JOURNAL_STREAM).
bool isJournalStream(int fd);

// Sends every record to each of `sinks`.
class FanOutLogSink : public kit::LogSink {
 public:
  explicit FanOutLogSink(std::vector<std::shared_ptr<kit::LogSink>> sinks) : sinks_(std::move(sinks)) {}
  void write(const kit::LogRecord& record) override {
    for (const auto& sink : sinks_) sink->write(record);
  }

 private:
  std::vector<std::shared_ptr<kit::LogSink>> sinks_;
};

}  // namespace tillerpad::platform

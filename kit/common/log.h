#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tillerpad::kit {

// Levels of the platform log: debug, info, default ("notice") and error.
enum class LogLevel { debug, info, notice, error };

std::string_view toText(LogLevel level);

struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string text;
};

// Where log records go: the journal and stderr in the service, memory in tests.
// Called from any thread; implementations do their own locking.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

// A subsystem and category bound to a sink. Cheap to copy; a default-made
// logger drops everything. Never give it key material or pairing codes.
class Logger {
 public:
  Logger() = default;
  Logger(std::shared_ptr<LogSink> sink, std::string subsystem, std::string category)
      : sink_(std::move(sink)), subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  Logger withCategory(std::string category) const { return Logger(sink_, subsystem_, std::move(category)); }

  void log(LogLevel level, std::string text) const {
    if (sink_) sink_->write(LogRecord{level, subsystem_, category_, std::move(text)});
  }
  void debug(std::string text) const { log(LogLevel::debug, std::move(text)); }
  void info(std::string text) const { log(LogLevel::info, std::move(text)); }
  void notice(std::string text) const { log(LogLevel::notice, std::move(text)); }
  void error(std::string text) const { log(LogLevel::error, std::move(text)); }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::shared_ptr<LogSink> sink_;
  std::string subsystem_;
  std::string category_;
};

// Keeps every record; what tests assert on.
class RecordingLogSink : public LogSink {
 public:
  void write(const LogRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }
  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  // Records whose text is exactly `text`.
  std::size_t count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& r : records_) n += r.text == text ? 1 : 0;
    return n;
  }
  // True when any record's text contains `fragment`.
  bool contains(std::string_view fragment) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : records_) {
      if (r.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

// "LEVEL category: text" lines on stderr.
class StderrLogSink : public LogSink {
 public:
  explicit StderrLogSink(LogLevel minimum = LogLevel::info) : minimum_(minimum) {}
  void write(const LogRecord& record) override;

 private:
  LogLevel minimum_;
  std::mutex mutex_;
};

}  // namespace tillerpad::kit

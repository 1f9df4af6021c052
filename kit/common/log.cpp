#include "kit/common/log.h"

#include "kit/common/text.h"

#include <cstdio>

namespace tillerpad::kit {

std::string_view toText(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return "DEBUG";
    case LogLevel::info: return "INFO";
    case LogLevel::notice: return "NOTICE";
    case LogLevel::error: return "ERROR";
  }
  return "LOG";
}

void StderrLogSink::write(const LogRecord& record) {
  if (record.level < minimum_) return;
  std::lock_guard lock(mutex_);
  std::string_view level = toText(record.level);
  // One record, one line, whatever a peer put into the text.
  std::string text = withoutControlCharacters(record.text);
  std::fprintf(stderr, "%.*s %s: %s\n", static_cast<int>(level.size()), level.data(), record.category.c_str(),
               text.c_str());
}

}  // namespace tillerpad::kit

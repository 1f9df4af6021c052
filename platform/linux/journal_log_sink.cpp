#include "platform/linux/journal_log_sink.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>

namespace tillerpad::platform {
namespace {

int priorityOf(kit::LogLevel level) {
  switch (level) {
    case kit::LogLevel::debug: return LOG_DEBUG;
    case kit::LogLevel::info: return LOG_INFO;
    case kit::LogLevel::notice: return LOG_NOTICE;
    case kit::LogLevel::error: return LOG_ERR;
  }
  return LOG_NOTICE;
}

class JournalLogSink : public kit::LogSink {
 public:
  void write(const kit::LogRecord& record) override {
    // sd_journal_send is safe from any thread.
    sd_journal_send("MESSAGE=%s", record.text.c_str(), "PRIORITY=%i", priorityOf(record.level),
                    "SYSLOG_IDENTIFIER=tillerpad", "TILLERPAD_SUBSYSTEM=%s", record.subsystem.c_str(),
                    "TILLERPAD_CATEGORY=%s", record.category.c_str(), nullptr);
  }
};

}  // namespace

std::shared_ptr<kit::LogSink> makeJournalLogSink() {
  struct stat st {};
  if (::stat("/run/systemd/journal/socket", &st) != 0) return nullptr;
  return std::make_shared<JournalLogSink>();
}

}  // namespace tillerpad::platform

namespace tillerpad::platform {

bool isJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  char rest = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace tillerpad::platform

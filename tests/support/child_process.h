#pragma once

// A program run as a child with pipes on its standard input, output and
// error; every wait is bounded, and a child that outlives its owner is
// killed by its own id.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tillerpad::test {

class ChildProcess {
 public:
  // `program` is looked up on PATH unless it holds a slash; `environment`
  // is added to this process's own.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool send(const std::string& line);  // writes the line and a newline
  void endInput();
  // The next line of standard output; nothing at its end or after `limit`.
  std::optional<std::string> nextLine(std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Reads lines until one starts with `prefix`.
  std::optional<std::string> lineStarting(const std::string& prefix);
  // Reads the rest of both outputs and waits for the exit status; -1 when
  // killed by a signal or still running after `limit`.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Sends `signal` and collects the child.
  void stop(int signal);
  pid_t pid() const { return pid_; }

  std::vector<std::string> lines;  // standard output lines read so far
  std::string errorText;           // standard error, once wait() read it

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::string buffer_;
};

// Runs `command` through the shell with standard error joined to standard
// output, and returns what it printed within `limit`.
std::string runShell(const std::string& command, std::chrono::milliseconds limit = std::chrono::seconds(15));

// An X server of the caller's own on a display number it chooses (or
// `number`), which it can stop and start again. `screen`: WIDTHxHEIGHTxDEPTH.
class PrivateXvfb {
 public:
  explicit PrivateXvfb(int number = -1, const std::string& screen = "640x480x24");
  void stop() { server_.stop(SIGTERM); }
  bool running() const { return number_ >= 0; }
  int number() const { return number_; }
  std::string name() const { return ":" + std::to_string(number_); }

 private:
  ChildProcess server_;
  int number_ = -1;
};

}  // namespace tillerpad::test

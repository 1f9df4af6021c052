#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace tillerpad::test {
namespace {

// False at the end of the stream or once the deadline passed.
bool fill(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN, 0};
  if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[4096];
  ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) into.append(chunk, static_cast<std::size_t>(n));
  return n > 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment) {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> names;
  for (const auto& [name, value] : environment) names.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    if (!environment.contains(std::string(entry.substr(0, entry.find('='))))) envp.push_back(*e);
  }
  for (auto& n : names) envp.push_back(n.data());
  envp.push_back(nullptr);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its children along
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  for (int end : {in[0], out[1], err[1]}) close(end);
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
}

ChildProcess::~ChildProcess() {
  stop(SIGKILL);
  for (int fd : {input_, output_, errors_}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProcess::send(const std::string& line) {
  std::string text = line + "\n";
  return input_ >= 0 && write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::endInput() {
  if (input_ >= 0) close(std::exchange(input_, -1));
}

std::optional<std::string> ChildProcess::nextLine(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (auto end = buffer_.find('\n'); end != std::string::npos) {
      lines.push_back(buffer_.substr(0, end));
      buffer_.erase(0, end + 1);
      return lines.back();
    }
    if (!fill(output_, buffer_, deadline)) return std::nullopt;
  }
}

std::optional<std::string> ChildProcess::lineStarting(const std::string& prefix) {
  auto line = nextLine();
  while (line && !line->starts_with(prefix)) line = nextLine();
  return line;
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (nextLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
  }
  while (fill(errors_, errorText, deadline)) {
  }
  int status = 0;
  while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    poll(nullptr, 0, 10);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::stop(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string runShell(const std::string& command, std::chrono::milliseconds limit) {
  ChildProcess shell("sh", {"-c", "exec 2>&1; " + command});
  shell.endInput();
  shell.wait(limit);
  std::string out;
  for (const auto& line : shell.lines) out += line + "\n";
  return out;
}

PrivateXvfb::PrivateXvfb(int number, const std::string& screen)
    // Xvfb writes its display number to the -displayfd once it accepts connections.
    : server_("Xvfb", [number, &screen] {
        std::vector<std::string> a{"-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", screen};
        if (number >= 0) a.insert(a.begin(), ":" + std::to_string(number));
        return a;
      }()) {
  if (auto line = server_.nextLine(std::chrono::seconds(20))) number_ = std::atoi(line->c_str());
}

}  // namespace tillerpad::test

// The control socket of the headless service: who may attach and how its
// lines are taken; the rest of `tillerpad --attach` is tests/e2e/user_unit_test.sh.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "host/app/control_socket.h"
#include "tests/platform/linux/temp_dir.h"

namespace tillerpad::host {
namespace {

using platform::test::TempDir;
using namespace std::chrono_literals;

// A client end; the service reads it as its loop runs.
struct Client {
  explicit Client(const std::filesystem::path& path) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    isConnected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd); }
  void say(std::string_view text) { ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size())); }
  int fd;
  bool isConnected;
};

struct Service {
  explicit Service(const std::filesystem::path& path) : socket(ControlSocket::open(io.get_executor(), path, {})) {
    socket->start({[this] { ++attaches; }, [this](std::string_view l) { lines.emplace_back(l); },
                   [this] { ++detaches; }});
  }
  bool runUntil(const std::function<bool()>& done) {
    for (auto limit = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < limit;) {
      io.run_for(10ms);
      if (done()) return true;
    }
    return false;
  }
  // Everything `client` reads until the service closes it, the service
  // running meanwhile; "(timeout)" appended after 10 s.
  std::string readToEnd(Client& client) {
    std::string all;
    char buffer[4096];
    for (auto limit = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < limit;) {
      io.run_for(5ms);
      ssize_t n;
      while ((n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) all.append(buffer, std::size_t(n));
      if (n == 0) return all;
    }
    return all + "(timeout)";
  }
  asio::io_context io;
  std::unique_ptr<ControlSocket> socket;
  int attaches = 0, detaches = 0;
  std::vector<std::string> lines;
};

// Whoever can enter the folder could take the terminal, pairing questions
// included: the folder must be this user's own and closed to others.
TEST(ControlSocketTest, TheFolderMustBeOursAndClosed) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    const char* problem;  // a part of the message; null: fine
  };
  const Case cases[] = {
      {"absent: made 0700", [](const auto&) {}, nullptr},
      {"ours, 0700", [](const auto& p) { ::mkdir(p.c_str(), 0700); }, nullptr},
      {"group may enter", [](const auto& p) { ::mkdir(p.c_str(), 0700), ::chmod(p.c_str(), 0710); }, "open to other users"},
      {"a link to a good folder",
       [](const auto& p) {
         ::mkdir((p.string() + ".real").c_str(), 0700);
         ::symlink((p.string() + ".real").c_str(), p.c_str());
       },
       "is not a folder"},
      {"a file", [](const auto& p) { std::ofstream(p) << "x"; }, "is not a folder"},
      {"another user's", [](const auto& p) { ::mkdir(p.c_str(), 0700), (void)::chown(p.c_str(), 65534, 65534); },
       ::geteuid() == 0 ? "belongs to another user" : nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto folder = dir.path() / "tillerpad";
    c.make(folder);
    auto problem = checkControlFolder(folder);
    if (!c.problem) {
      ASSERT_EQ(problem, std::nullopt);
      struct stat st {};
      ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0700u);
      continue;
    }
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find(c.problem), std::string::npos) << *problem;
    asio::io_context io;
    EXPECT_THROW(ControlSocket::open(io.get_executor(), folder / "control", {}), std::runtime_error);
  }
}

TEST(ControlSocketTest, OneServicePerSocketAndAStaleSocketIsReplaced) {
  TempDir dir;
  auto path = dir.path() / "tillerpad" / "control";
  {
    Service first(path);
    asio::io_context io;
    EXPECT_THROW(ControlSocket::open(io.get_executor(), path, {}), ControlSocket::AlreadyRunning);
  }
  EXPECT_FALSE(std::filesystem::exists(path));  // removed as it closes

  // A service that was killed leaves its socket file; nothing answers there.
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  ASSERT_TRUE(std::filesystem::exists(path));
  Service second(path);
  Client client(path);
  EXPECT_TRUE(client.isConnected);
  EXPECT_TRUE(second.runUntil([&] { return second.attaches == 1; }));

  // Something else at the path is not ours to remove.
  TempDir other;
  std::filesystem::create_directory(other.path() / "tillerpad");
  std::filesystem::permissions(other.path() / "tillerpad", std::filesystem::perms::owner_all);
  std::ofstream(other.path() / "tillerpad" / "control") << "mine";
  asio::io_context io;
  EXPECT_THROW(ControlSocket::open(io.get_executor(), other.path() / "tillerpad" / "control", {}), std::runtime_error);
  EXPECT_TRUE(std::filesystem::exists(other.path() / "tillerpad" / "control"));
}

TEST(ControlSocketTest, LinesAreCappedAndAnEndDetachesAfterWhatWasSent) {
  TempDir dir;
  auto path = dir.path() / "tillerpad" / "control";
  Service service(path);
  Client first(path);
  ASSERT_TRUE(service.runUntil([&] { return service.attaches == 1; }));

  // An over-long line is dropped whole, up to its newline; the last line
  // may lack one.
  first.say("status\n" + std::string(ControlSocket::maxLine + 1000, 'x') + "\nhelp\r\n  pair");
  ::shutdown(first.fd, SHUT_WR);
  service.socket->send("still here");
  ASSERT_TRUE(service.runUntil([&] { return service.detaches == 1; }));
  EXPECT_EQ(service.lines, (std::vector<std::string>{"status", "help\r", "  pair"}));
  EXPECT_EQ(service.readToEnd(first), "still here\n");  // what was sent arrives before the close

  // The next terminal may attach; detach() closes it after what it was sent.
  Client third(path);
  ASSERT_TRUE(service.runUntil([&] { return service.attaches == 2; }));
  service.socket->send("bye");
  service.socket->detach();
  third.say("late\n");
  EXPECT_EQ(service.readToEnd(third), "bye\n");
  ASSERT_TRUE(service.runUntil([&] { return service.detaches == 2; }));
  EXPECT_EQ(service.lines.size(), 3u);  // nothing taken after the detach
}

TEST(ControlSocketTest, ATerminalThatStopsReadingIsDetachedNotBuffered) {
  TempDir dir;
  auto path = dir.path() / "tillerpad" / "control";
  Service service(path);
  Client deaf(path);
  ASSERT_TRUE(service.runUntil([&] { return service.attaches == 1; }));
  std::string line(1000, 'q');
  for (int i = 0; i < 100000 && service.socket->isAttached(); ++i) {
    service.socket->send(line);
    if (i % 100 == 0) service.io.run_for(1ms);
  }
  EXPECT_TRUE(service.runUntil([&] { return service.detaches == 1; }));
}

// A user other than the service's own (root too) is turned away at once.
TEST(ControlSocketTest, AnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  struct AsUser {
    explicit AsUser(uid_t uid) { EXPECT_EQ(::seteuid(uid), 0); }
    ~AsUser() { EXPECT_EQ(::seteuid(0), 0); }
  };
  std::string pattern = "/tmp/tillerpad-peer-XXXXXX";
  std::unique_ptr<Service> service;
  std::filesystem::path path;
  {
    AsUser nobody(65534);
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    path = std::filesystem::path(pattern) / "tillerpad" / "control";
    service = std::make_unique<Service>(path);
  }
  Client root(path);  // root may enter any folder; the credentials still say root
  ASSERT_TRUE(root.isConnected);
  {
    AsUser nobody(65534);
    // Until the service has closed it.
    EXPECT_TRUE(service->runUntil([&] {
      pollfd ready{root.fd, POLLIN, 0};
      return ::poll(&ready, 1, 0) > 0;
    }));
  }
  EXPECT_EQ(service->attaches, 0);
  char byte;
  EXPECT_EQ(::recv(root.fd, &byte, 1, MSG_DONTWAIT), 0);  // closed, nothing said
  {
    AsUser nobody(65534);
    service.reset();
  }
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace tillerpad::host

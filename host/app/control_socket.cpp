#include "host/app/control_socket.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <system_error>
#include <utility>

namespace tillerpad::host {

using Protocol = asio::local::stream_protocol;

std::optional<std::filesystem::path> controlSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || runtime[0] != '/') return std::nullopt;
  return std::filesystem::path(runtime) / "tillerpad" / "control";
}

std::optional<std::string> checkControlFolder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return fmt::format("cannot create {}: {}", folder.string(), std::strerror(errno));
  }
  // lstat: a link could lead anywhere.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return fmt::format("cannot read {}: {}", folder.string(), std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return fmt::format("{} is not a folder", folder.string());
  if (st.st_uid != ::geteuid()) return fmt::format("{} belongs to another user", folder.string());
  if ((st.st_mode & 077) != 0) {
    return fmt::format("{} is open to other users (mode {:o})", folder.string(), st.st_mode & 07777);
  }
  return std::nullopt;
}

namespace {

struct Terminal {
  explicit Terminal(Protocol::socket s) : socket(std::move(s)) {}
  Protocol::socket socket;
  asio::streambuf input{ControlSocket::maxLine + 1};  // the line and its newline
  std::deque<std::string> unsent;
  std::size_t unsentBytes = 0;
  bool isSkipping = false;  // the rest of an over-long line
  bool isWriting = false;
  bool isClosing = false;  // no more lines are taken; it closes once written
  bool isEnded = false;
};

}  // namespace

struct ControlSocket::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::any_io_executor e, std::filesystem::path p, kit::Logger l)
      : executor(std::move(e)), path(std::move(p)), log(std::move(l)), acceptor(executor) {}

  void acceptNext() {
    acceptor.async_accept([self = shared_from_this()](std::error_code ec, Protocol::socket socket) {
      if (self->isStopped || ec == asio::error::operation_aborted) return;
      if (ec) {
        self->log.error("The control socket stopped accepting: " + ec.message());
        return;
      }
      self->admit(std::move(socket));
      self->acceptNext();
    });
  }

  void admit(Protocol::socket socket) {
    struct ucred peer {};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
      log.notice(fmt::format("Refused a control connection of user {}", peer.uid));
      return;  // closed as `socket` goes
    }
    if (attached) {
      auto refused = std::make_shared<Protocol::socket>(std::move(socket));
      auto line = std::make_shared<std::string>("Another terminal is attached\n");
      asio::async_write(*refused, asio::buffer(*line), [refused, line](std::error_code, std::size_t) {});
      return;
    }
    attached = std::make_shared<Terminal>(std::move(socket));
    log.info("A terminal attached");
    handlers.onAttach();
    readNext(attached);
  }

  void readNext(const std::shared_ptr<Terminal>& t) {
    asio::async_read_until(t->socket, t->input, '\n', [self = shared_from_this(), t](std::error_code ec, std::size_t n) {
      if (self->isStopped || t->isEnded) return;
      auto& input = t->input;
      if (ec == asio::error::not_found) {
        // Longer than any command: dropped up to its newline.
        input.consume(input.size());
        t->isSkipping = true;
        self->readNext(t);
        return;
      }
      if (ec) {
        // The last line may lack its newline.
        if (input.size() > 0 && !t->isClosing && !t->isSkipping) {
          std::string rest(asio::buffers_begin(input.data()), asio::buffers_end(input.data()));
          input.consume(input.size());
          self->handlers.onLine(rest);
        }
        self->close(t);
        return;
      }
      std::string line(asio::buffers_begin(input.data()), asio::buffers_begin(input.data()) + n - 1);
      input.consume(n);
      bool isRest = std::exchange(t->isSkipping, false);
      if (!t->isClosing && !isRest) self->handlers.onLine(line);
      // The handler may have detached it or stopped everything.
      if (!self->isStopped && !t->isEnded) self->readNext(t);
    });
  }

  void send(const std::shared_ptr<Terminal>& t, std::string_view line) {
    if (t->isEnded) return;
    if (t->unsentBytes + line.size() + 1 > maxUnsent) {
      log.notice("An attached terminal stopped reading; it is detached");
      end(t);
      return;
    }
    t->unsent.emplace_back(line).push_back('\n');
    t->unsentBytes += line.size() + 1;
    writeNext(t);
  }

  void writeNext(const std::shared_ptr<Terminal>& t) {
    if (t->isWriting || t->isEnded) return;
    if (t->unsent.empty()) {
      if (t->isClosing) end(t);
      return;
    }
    t->isWriting = true;
    asio::async_write(t->socket, asio::buffer(t->unsent.front()),
                      [self = shared_from_this(), t](std::error_code ec, std::size_t) {
                        t->isWriting = false;
                        if (self->isStopped || t->isEnded) return;
                        if (ec) {
                          self->end(t);
                          return;
                        }
                        t->unsentBytes -= t->unsent.front().size();
                        t->unsent.pop_front();
                        self->writeNext(t);
                      });
  }

  // After what was sent to it.
  void close(const std::shared_ptr<Terminal>& t) {
    t->isClosing = true;
    writeNext(t);
  }

  void end(const std::shared_ptr<Terminal>& t) {
    if (t->isEnded) return;
    t->isEnded = true;
    std::error_code ignored;
    t->socket.shutdown(Protocol::socket::shutdown_both, ignored);
    t->socket.close(ignored);
    if (attached != t) return;
    attached.reset();
    log.info("The terminal detached");
    // Never from inside the front's own call.
    asio::post(executor, [self = shared_from_this()] {
      if (!self->isStopped) self->handlers.onDetach();
    });
  }

  void stop() {
    if (isStopped) return;
    isStopped = true;
    std::error_code ignored;
    acceptor.close(ignored);
    if (attached) {
      // The last lines ("stopping"), as far as the socket takes them now.
      // (One being written has most likely left already.)
      bool skip = attached->isWriting;
      for (const auto& text : attached->unsent) {
        if (std::exchange(skip, false)) continue;
        if (::send(attached->socket.native_handle(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) break;
      }
      attached->isEnded = true;
      attached->socket.close(ignored);
      attached.reset();
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && st.st_ino == inode && st.st_dev == device) ::unlink(path.c_str());
  }

  asio::any_io_executor executor;
  std::filesystem::path path;
  kit::Logger log;
  Protocol::acceptor acceptor;
  Handlers handlers;
  std::shared_ptr<Terminal> attached;
  bool isStopped = false;
  ino_t inode = 0;
  dev_t device = 0;
};

std::unique_ptr<ControlSocket> ControlSocket::open(asio::any_io_executor executor, std::filesystem::path path,
                                                   kit::Logger log) {
  if (auto problem = checkControlFolder(path.parent_path())) throw std::runtime_error(*problem);
  auto impl = std::make_shared<Impl>(executor, path, std::move(log));
  Protocol::endpoint endpoint(path.string());

  // A socket file left by a service that ended without removing it answers
  // nothing: it goes. One that answers belongs to a running service.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path.string() + " exists and is not a socket");
    Protocol::socket probe(executor);
    std::error_code ec;
    probe.connect(endpoint, ec);
    if (!ec) throw AlreadyRunning(path.string());
    if (ec != asio::error::connection_refused) throw std::system_error(ec, path.string());
    ::unlink(path.c_str());
  }

  std::error_code ec;
  impl->acceptor.open(Protocol(), ec);
  if (!ec) impl->acceptor.bind(endpoint, ec);
  // Another service bound it between our look and our bind.
  if (ec == asio::error::address_in_use) throw AlreadyRunning(path.string());
  // The folder already keeps others out; the mode says so once more.
  if (!ec && ::chmod(path.c_str(), 0600) != 0) ec = std::error_code(errno, std::generic_category());
  if (!ec) impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec && ::lstat(path.c_str(), &st) != 0) ec = std::error_code(errno, std::generic_category());
  if (ec) {
    std::error_code ignored;
    impl->acceptor.close(ignored);
    ::unlink(path.c_str());
    throw std::system_error(ec, path.string());
  }
  impl->inode = st.st_ino;
  impl->device = st.st_dev;
  return std::unique_ptr<ControlSocket>(new ControlSocket(std::move(impl)));
}

ControlSocket::ControlSocket(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

ControlSocket::~ControlSocket() { impl_->stop(); }

void ControlSocket::start(Handlers handlers) {
  impl_->handlers = std::move(handlers);
  impl_->acceptNext();
}

void ControlSocket::send(std::string_view line) {
  if (impl_->attached) impl_->send(impl_->attached, line);
}

void ControlSocket::detach() {
  if (impl_->attached) impl_->close(impl_->attached);
}

void ControlSocket::stop() { impl_->stop(); }

bool ControlSocket::isAttached() const { return impl_->attached && !impl_->attached->isClosing; }

const std::filesystem::path& ControlSocket::path() const { return impl_->path; }

}  // namespace tillerpad::host

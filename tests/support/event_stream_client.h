#pragma once
// A reader of the control service's status event stream, as a page's EventSource reads
// it: connects to 127.0.0.1, sends the request, keeps the head, then hands out events.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace velnaro::testing {

struct StreamEvent {
  std::string id;
  std::string data;  // data lines joined with '\n'
};

class EventStreamClient {
 public:
  // receive_buffer > 0 shrinks the socket's receive buffer (set before connecting), for a
  // reader that is meant to fall behind.
  explicit EventStreamClient(uint16_t port, const std::string& target = "/phone/?Action=EVENTS",
                             int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
      ended_ = true;
    }
  }
  ~EventStreamClient() { ::close(fd_); }
  EventStreamClient(const EventStreamClient&) = delete;
  EventStreamClient& operator=(const EventStreamClient&) = delete;

  int fd() const { return fd_; }

  // The response head up to its blank line; empty when none came within the time.
  std::string Head(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill(until)) return {};
    }
    std::string head = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    return head;
  }

  // The next event (after the head has been taken); nullopt when the time passes or the
  // stream ends first. Comment lines are counted, not returned.
  std::optional<StreamEvent> Next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      size_t end;
      while ((end = buffer_.find("\n\n")) != std::string::npos) {
        StreamEvent event;
        bool has_data = false;
        size_t pos = 0;
        const std::string block = buffer_.substr(0, end + 1);
        buffer_.erase(0, end + 2);
        while (pos < block.size()) {
          const size_t eol = block.find('\n', pos);
          const std::string line = block.substr(pos, eol - pos);
          pos = eol + 1;
          if (line.rfind(':', 0) == 0) {
            ++comments_;
          } else if (line.rfind("id: ", 0) == 0) {
            event.id = line.substr(4);
          } else if (line.rfind("data: ", 0) == 0) {
            if (has_data) event.data += '\n';
            event.data += line.substr(6);
            has_data = true;
          }
        }
        if (has_data) return event;
      }
      if (!Fill(until)) return std::nullopt;
    }
  }

  int comments() const { return comments_; }
  // The agent closed the connection (or reset it).
  bool ended() const { return ended_; }
  // Bytes received and not yet handed out.
  size_t buffered() const { return buffer_.size(); }

  // Reads whatever arrives until the agent closes the connection or the time passes.
  bool ReadToEnd(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (Fill(until)) buffer_.clear();
    return ended_;
  }

 private:
  bool Fill(std::chrono::steady_clock::time_point until) {
    if (ended_) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      ended_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
  int comments_ = 0;
  bool ended_ = false;
};

}  // namespace velnaro::testing

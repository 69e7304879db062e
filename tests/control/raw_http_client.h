#pragma once
// A bare socket client for the endpoint tests: sends exact bytes, reads until close.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace velnaro::testing_http {

class RawClient {
 public:
  // Connects to 127.0.0.1 or ::1; fd() < 0 when that fails.
  RawClient(uint16_t port, bool ipv6 = false) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int r;
    if (ipv6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(port);
      r = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(port);
      r = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (r != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  int fd() const { return fd_; }
  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // Everything until the server closes (or 10 s pass).
  std::string ReadAll() {
    std::string out;
    char buf[8192];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int fd_ = -1;
};

inline std::string Exchange(uint16_t port, const std::string& request, bool ipv6 = false) {
  RawClient c(port, ipv6);
  if (c.fd() < 0) return "connect failed";
  c.Send(request);
  return c.ReadAll();
}

struct Response {
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
  bool Has(const std::string& name) const {
    for (auto& h : headers) if (h.first == name) return true;
    return false;
  }
};

inline Response Parse(const std::string& raw) {
  Response r;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.body = raw.substr(end + 4);
  size_t pos = raw.find("\r\n");
  r.status_line = raw.substr(0, pos);
  pos += 2;
  while (pos < end) {
    const size_t eol = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, eol - pos);
    const size_t colon = line.find(": ");
    r.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    pos = eol + 2;
  }
  return r;
}

}  // namespace velnaro::testing_http

#pragma once
// What the control endpoint hands a request to once it has been read and decoded.

#include <stdexcept>
#include <string>
#include <vector>

namespace velnaro {

// What the interpreter receives of a request.
struct ControlRequest {
  std::vector<std::string> params;  // decoded "name=value" entries, in order
  std::string peer_ip;              // dotted text for IPv4 peers
  std::string document;             // decoded path, without the query
  std::string query;  // the same entries as the request carried them (encoded), "&" between
};

// A command that declines to act (too many at once): the endpoint answers with the status
// and a one-line JSON reason instead of 500.
class RequestRefused : public std::runtime_error {
 public:
  RequestRefused(int status, const std::string& reason)
      : std::runtime_error(reason), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// What a request comes to.
struct ControlReply {
  std::string text;           // empty for a request without parameters: the default page
  bool opens_stream = false;  // Action=EVENTS: the status event stream takes the connection
};

class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  // May throw: the endpoint then answers 500 with the message. Runs on the request's own
  // thread.
  virtual ControlReply HandleRequest(const ControlRequest& request) = 0;
};

}  // namespace velnaro

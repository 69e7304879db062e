#include "control/http_response.h"

#include <charconv>
#include <exception>
#include <string_view>


namespace velnaro {
namespace {

constexpr std::string_view kOkLine = "HTTP/1.1 200 OK\r\n";
constexpr std::string_view kContentType = "Content-Type: text/html\r\n";
constexpr std::string_view kConnection = "Connection: close\r\n";
constexpr std::string_view kCrossOrigin =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: *\r\n"
    "Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept, "
    "Authorization\r\n";
constexpr std::string_view kServer = "Server: velnaro-ds\r\n\r\n";  // ends the head
constexpr std::string_view kDefaultPage = "<HTML><BODY><B>200 OK</B></BODY></HTML>\r\n";

void AppendContentLength(std::string& out, size_t length) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, length);
  out += "Content-Length: ";
  out.append(digits, end);
  out += "\r\n";
}

std::string_view Reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

// Status line and the fields every non-200 answer carries; no cross-origin headers.
void AppendPlain(std::string& out, int status, std::string_view body, bool with_body) {
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += Reason(status);
  out += "\r\n";
  out += kContentType;
  AppendContentLength(out, body.size());
  out += kConnection;
  out += kServer;
  if (with_body) out += body;
}

}  // namespace

void IdHTTPServer1CommandGet(RequestHandler& handler, const HttpRequest& request,
                             const std::string& peer_ip, std::string& response) {
  response.clear();
  const bool with_body = request.kind != HttpMethodKind::kHead;
  ControlRequest control;
  control.peer_ip = peer_ip;
  DecodeTarget(request, control.document, control.params);
  std::string reply;
  try {
    handler.HandleRequest(control, reply);
  } catch (const std::exception& e) {
    AppendPlain(response, 500, e.what(), with_body);
    return;
  } catch (...) {
    AppendPlain(response, 500, "Unknown failure", with_body);
    return;
  }
  response.reserve(kOkLine.size() + 300 + reply.size());
  response += kOkLine;
  response += kContentType;
  if (!reply.empty()) AppendContentLength(response, reply.size());
  response += kConnection;
  response += kCrossOrigin;
  response += kServer;
  if (with_body) response += reply.empty() ? kDefaultPage : std::string_view(reply);
}

void ServeRequest(RequestHandler& handler, const HttpRequest& request, const std::string& peer_ip,
                  std::string& response) {
  if (request.kind != HttpMethodKind::kOther) {
    IdHTTPServer1CommandGet(handler, request, peer_ip, response);
    return;
  }
  response.clear();
  response += kOkLine;
  response += kContentType;
  response += kConnection;
  response += kServer;
}

void EventStreamHead(std::string& response) {
  response.clear();
  response += kOkLine;
  response += "Content-Type: text/event-stream\r\nCache-Control: no-cache\r\n";
  response += kConnection;
  response += kCrossOrigin;
  response += kServer;
}

void ErrorResponse(int status, std::string& response) {
  response.clear();
  std::string body = "<HTML><BODY><B>";
  body += std::to_string(status);
  body += ' ';
  body += Reason(status);
  body += "</B></BODY></HTML>\r\n";
  AppendPlain(response, status, body, true);
}

}  // namespace velnaro

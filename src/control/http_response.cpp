#include "control/http_response.h"

#include <charconv>
#include <exception>
#include <string_view>


namespace velnaro {
namespace {

constexpr std::string_view kOkLine = "HTTP/1.1 200 OK\r\n";
constexpr std::string_view kContentType = "Content-Type: text/html\r\n";
constexpr std::string_view kConnection = "Connection: close\r\n";
// Ends the head of every answer. nosniff: a browser takes a reply for what its type says
// and never guesses a script or a style sheet in it.
constexpr std::string_view kServer =
    "X-Content-Type-Options: nosniff\r\nServer: velnaro-ds\r\n\r\n";
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
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

void AppendStatusLine(std::string& out, int status) {
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += Reason(status);
  out += "\r\n";
}

// Status line and the fields every non-200 answer carries. The open cross-origin headers
// never go on a failure, which has always come without them; an origin the hardened profile
// names does, so that its page may read what went wrong.
void AppendPlain(std::string& out, int status, std::string_view body, bool with_body,
                 std::string_view cross_origin = kOpenCrossOrigin) {
  AppendStatusLine(out, status);
  out += kContentType;
  AppendContentLength(out, body.size());
  out += kConnection;
  if (cross_origin != kOpenCrossOrigin) out += cross_origin;
  out += kServer;
  if (with_body) out += body;
}

}  // namespace

bool IdHTTPServer1CommandGet(RequestHandler& handler, const HttpRequest& request,
                             const std::string& peer_ip, std::string& response,
                             std::string_view cross_origin) {
  response.clear();
  const bool with_body = request.kind != HttpMethodKind::kHead;
  ControlRequest control;
  control.peer_ip = peer_ip;
  DecodeTarget(request, control.document, control.params, &control.query);
  ControlReply answer;
  try {
    answer = handler.HandleRequest(control);
  } catch (const RequestRefused& e) {
    // The page that asked may read why, and when to ask again.
    std::string headers(cross_origin);
    if (e.status() == 429) headers += "Retry-After: 1\r\n";
    OwnResponse(e.status(), headers, with_body ? e.what() : "", response);
    return false;
  } catch (const std::exception& e) {
    AppendPlain(response, 500, e.what(), with_body, cross_origin);
    return false;
  } catch (...) {
    AppendPlain(response, 500, "Unknown failure", with_body, cross_origin);
    return false;
  }
  const std::string& reply = answer.text;
  response.reserve(kOkLine.size() + 300 + reply.size());
  response += kOkLine;
  response += kContentType;
  if (!reply.empty()) AppendContentLength(response, reply.size());
  response += kConnection;
  response += cross_origin;
  response += kServer;
  if (with_body) response += reply.empty() ? kDefaultPage : std::string_view(reply);
  return answer.opens_stream;
}

bool ServeRequest(RequestHandler& handler, const HttpRequest& request, const std::string& peer_ip,
                  std::string& response, std::string_view cross_origin) {
  if (request.kind != HttpMethodKind::kOther)
    return IdHTTPServer1CommandGet(handler, request, peer_ip, response, cross_origin);
  response.clear();
  response += kOkLine;
  response += kContentType;
  response += kConnection;
  response += kServer;
  return false;
}

void EventStreamHead(std::string& response, std::string_view cross_origin) {
  response.clear();
  response += kOkLine;
  response += "Content-Type: text/event-stream\r\nCache-Control: no-cache\r\n";
  response += kConnection;
  response += cross_origin;
  response += kServer;
}

void ErrorResponse(int status, std::string& response, std::string_view cross_origin) {
  response.clear();
  std::string body = "<HTML><BODY><B>";
  body += std::to_string(status);
  body += ' ';
  body += Reason(status);
  body += "</B></BODY></HTML>\r\n";
  AppendPlain(response, status, body, true, cross_origin);
}

void OwnResponse(int status, std::string_view headers, std::string_view reason,
                 std::string& response) {
  response.clear();
  AppendStatusLine(response, status);
  // The reasons are ours: plain text without quotes or backslashes.
  std::string json;
  if (!reason.empty()) {
    json = "{\"error\": \"";
    json += reason;
    json += "\"}";
    response += "Content-Type: application/json\r\n";
  }
  if (status != 204) AppendContentLength(response, json.size());
  response += kConnection;
  response += headers;
  response += kServer;
  response += json;
}

}  // namespace velnaro

#pragma once
// The bytes the control endpoint sends back, built whole so they go out in one write.

#include <string>
#include <string_view>

#include "control/http_request.h"
#include "control/request_handler.h"

namespace velnaro {

inline constexpr const char* kServerHeader = "velnaro-ds";

// The cross-origin headers that let any page read a reply.
inline constexpr std::string_view kOpenCrossOrigin =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: *\r\n"
    "Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept, "
    "Authorization\r\n";

// The handler for GET, HEAD and POST: the interpreter's reply with the cross-origin
// headers (whole lines), the default page for an empty reply, 500 when producing the
// reply fails (without the open headers), a refusal's own status when a command declines.
// True when the request opens an event stream (the response then holds the reply for an
// endpoint without one).
bool IdHTTPServer1CommandGet(RequestHandler& handler, const HttpRequest& request,
                             const std::string& peer_ip, std::string& response,
                             std::string_view cross_origin = kOpenCrossOrigin);

// Every method: GET, HEAD and POST go to the handler above, others get a bare 200.
bool ServeRequest(RequestHandler& handler, const HttpRequest& request, const std::string& peer_ip,
                  std::string& response, std::string_view cross_origin = kOpenCrossOrigin);

// An answer of the service's own making: the status, further header lines (each ending in
// CR LF) and the one-line JSON body {"error": "reason"}; no body when reason is empty.
void OwnResponse(int status, std::string_view headers, std::string_view reason,
                 std::string& response);

// The head of an event stream: 200, text/event-stream, no-cache, the cross-origin headers;
// the events follow until the connection closes.
void EventStreamHead(std::string& response, std::string_view cross_origin = kOpenCrossOrigin);

// A request that could not be read whole (400, 408, 413, 414, 431), or one that cannot be
// served now (503). An origin the hardened profile named stays on the answer.
void ErrorResponse(int status, std::string& response,
                   std::string_view cross_origin = kOpenCrossOrigin);

}  // namespace velnaro

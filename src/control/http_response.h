#pragma once
// The bytes the control endpoint sends back, built whole so they go out in one write.

#include <string>

#include "control/http_request.h"
#include "control/request_handler.h"

namespace velnaro {

inline constexpr const char* kServerHeader = "velnaro-ds";

// The handler for GET, HEAD and POST: the interpreter's reply with the cross-origin
// headers, the default page for an empty reply, 500 when producing the reply fails.
void IdHTTPServer1CommandGet(RequestHandler& handler, const HttpRequest& request,
                             const std::string& peer_ip, std::string& response);

// Every method: GET, HEAD and POST go to the handler above, others get a bare 200.
void ServeRequest(RequestHandler& handler, const HttpRequest& request, const std::string& peer_ip,
                  std::string& response);

// The head of an event stream: 200, text/event-stream, no-cache, the cross-origin headers;
// the events follow until the connection closes.
void EventStreamHead(std::string& response);

// A request that could not be read whole (400, 408, 413, 414, 431), or one that cannot be
// served now (503).
void ErrorResponse(int status, std::string& response);

}  // namespace velnaro

// Arbitrary bytes through the request reader, the decoding and the interpreter, as the
// endpoint would run them, without sockets. The first byte picks the piece size and
// whether the detailed request log is on.
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/http_request.h"
#include "control/http_response.h"
#include "control/reply.h"
#include "support/control_service.h"

namespace {

// A fresh service per input: what one input leaves behind (log lines, record) would
// otherwise look like a leak to the fuzzer.
void AddEchoCommands(velnaro::testing::ControlService& s) {
  using velnaro::CommandRequest;
  // Echo request values into replies, so escaping is exercised.
  s.interpreter.Commands().Add("/phone/", "CALL", [&s](const CommandRequest& r, std::string& out) {
    out = velnaro::reply::Call(r.prefix, r.number);
    s.status.AggiornaStato(velnaro::LineState::kInCall, velnaro::CallState::kCallOut, r.prefix,
                           r.number);
  });
  s.interpreter.Commands().Add("/phone/", "DTMF", [](const CommandRequest& r, std::string& out) {
    out = velnaro::reply::Dtmf(r.number);
  });
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  velnaro::testing::ControlService server;
  AddEchoCommands(server);
  server.window.ckLogHTTPRequest = data[0] & 1;
  const size_t piece = (data[0] >> 1) + 1u;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  // Small bounds so the fuzzer reaches them.
  velnaro::HttpLimits limits{64, 512, 256};
  velnaro::HttpRequestReader reader(limits);
  using State = velnaro::HttpRequestReader::State;
  State state = State::kNeedMore;
  for (size_t i = 0; i < input.size() && state == State::kNeedMore; i += piece) {
    state = reader.Feed(input.substr(i, piece));
  }
  if (state == State::kNeedMore) state = reader.FeedEof();

  std::string response;
  if (state == State::kError) {
    const int status = reader.error_status();
    Check(status == 400 || status == 413 || status == 414 || status == 431);
    velnaro::ErrorResponse(status, response);
    return 0;
  }
  if (reader.empty()) return 0;
  Check(state == State::kDone);
  velnaro::ServeRequest(server.interpreter, reader.request(), "127.0.0.1", response);

  // Every reply with a length is valid JSON of exactly that length.
  const size_t end = response.find("\r\n\r\n");
  Check(end != std::string::npos);
  const size_t cl = response.find("Content-Length: ");
  if (cl != std::string::npos && cl < end &&
      reader.request().kind != velnaro::HttpMethodKind::kHead) {
    const std::string body = response.substr(end + 4);
    Check(std::to_string(body.size()) ==
          response.substr(cl + 16, response.find("\r\n", cl) - cl - 16));
    rapidjson::Document doc;
    doc.Parse(body.data(), body.size());
    Check(!doc.HasParseError() && doc.IsObject());
  }
  return 0;
}

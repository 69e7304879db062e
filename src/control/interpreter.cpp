#include "control/interpreter.h"

#include <initializer_list>

#include "control/reply.h"
#include "control/web_server.h"

namespace velnaro {
namespace {

constexpr const char* kSeparator = "-----------------";
constexpr size_t kNameLength = 6;  // the length of "Action"; all known names have it

}  // namespace

void SplitEntry(const std::string& entry, std::string& name, std::string& value) {
  name.assign(entry, 0, kNameLength);
  if (entry.size() > kNameLength + 1) {
    value.assign(entry, kNameLength + 1);
  } else {
    value.clear();
  }
}

void AnalizzaParametri(TwebServer& server, const ControlRequest& request, std::string& reply) {
  reply.clear();
  if (request.params.empty()) {
    server.AggiungiLog({kSeparator, "Nessun parametro. IP: " + request.peer_ip, request.document});
    return;
  }
  const bool detail = server.ckLogHTTPRequest.load();
  if (detail) {
    server.AggiungiLog({kSeparator, request.document, "Client: " + request.peer_ip});
  }

  CommandRequest command;
  command.peer_ip = request.peer_ip;
  command.path = request.document;
  command.query = request.query;
  std::string name, value;
  for (const std::string& entry : request.params) {
    if (command.raw_query.empty()) {
      command.raw_query = entry;
    } else {
      command.raw_query += '&';
      command.raw_query += entry;
    }
    SplitEntry(entry, name, value);
    if (name == "Action") {
      command.action = value;
    } else if (name == "Prefix") {
      command.prefix = value;
    } else if (name == "Number") {
      command.number = value;
    }
    if (detail) {
      server.AggiungiLog({entry, "Parametro: *" + name + "*", "Valore:    *" + value + "*"});
    }
  }

  reply = reply::NotRecognised();
  if (CommandHandler handler = server.Commands().Find(command.path, command.action)) {
    handler(command, reply);
  }
}

void RegisterStatusCommand(TwebServer& server) {
  const CommandHandler status = [&server](const CommandRequest&, std::string& reply) {
    reply = reply::Status(server.Record());
  };
  server.Commands().Add("/phone/", "GETSTATUS", status);
  // The endpoint's event streams answer EVENTS with a stream; they pass it through here
  // for the request lines, and the record is also what the stream sends first.
  server.Commands().Add("/phone/", "EVENTS", status);
}

}  // namespace velnaro

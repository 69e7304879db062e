#include "control/interpreter.h"

#include <initializer_list>

#include "control/reply.h"
#include "control/web_server.h"
#include "status/phone_status.h"

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

void Interpreter::AnalizzaParametri(const ControlRequest& request, std::string& reply) {
  reply.clear();
  if (request.params.empty()) {
    log_.AggiungiLog({kSeparator, "Nessun parametro. IP: " + request.peer_ip, request.document});
    return;
  }
  const bool detail = window_.ckLogHTTPRequest.load();
  if (detail) {
    log_.AggiungiLog({kSeparator, request.document, "Client: " + request.peer_ip});
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
      log_.AggiungiLog({entry, "Parametro: *" + name + "*", "Valore:    *" + value + "*"});
    }
  }

  reply = reply::NotRecognised();
  if (CommandHandler handler = commands_.Find(command.path, command.action)) {
    handler(command, reply);
  }
}

void RegisterStatusCommand(CommandTable& table, const PhoneStatus& status) {
  const CommandHandler get_status = [&status](const CommandRequest&, std::string& reply) {
    reply = reply::Status(status.Record());
  };
  table.Add("/phone/", "GETSTATUS", get_status);
  // The endpoint's event streams answer EVENTS with a stream; they pass it through here
  // for the request lines, and the record is also what the stream sends first.
  table.Add("/phone/", "EVENTS", get_status);
}

}  // namespace velnaro

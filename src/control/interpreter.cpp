#include "control/interpreter.h"

#include <initializer_list>

#include "control/reply.h"
#include "control/web_server.h"
#include "status/phone_status.h"

namespace velnaro {
namespace {

constexpr const char* kSeparator = "-----------------";
constexpr size_t kNameLength = 6;  // the length of "Action"; all known names have it
constexpr const char* kStatusPath = "/phone/";
constexpr const char* kEventsAction = "EVENTS";

}  // namespace

void SplitEntry(const std::string& entry, std::string& name, std::string& value) {
  name.assign(entry, 0, kNameLength);
  if (entry.size() > kNameLength + 1) {
    value.assign(entry, kNameLength + 1);
  } else {
    value.clear();
  }
}

CommandRequest Interpreter::AnalizzaParametri(const ControlRequest& request, std::string& reply) {
  reply.clear();
  CommandRequest command;
  command.peer_ip = request.peer_ip;
  command.path = request.document;
  command.query = request.query;
  if (request.params.empty()) {
    log_.AggiungiLog({kSeparator, "Nessun parametro. IP: " + request.peer_ip, request.document});
    return command;
  }
  const bool detail = window_.ckLogHTTPRequest.load();
  if (detail) {
    log_.AggiungiLog({kSeparator, request.document, "Client: " + request.peer_ip});
  }

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
  return command;
}

ControlReply Interpreter::HandleRequest(const ControlRequest& request) {
  ControlReply out;
  const CommandRequest command = AnalizzaParametri(request, out.text);
  out.opens_stream = command.path == kStatusPath && command.action == kEventsAction;
  return out;
}

void RegisterStatusCommand(CommandTable& table, const PhoneStatus& status) {
  const CommandHandler get_status = [&status](const CommandRequest&, std::string& reply) {
    reply = reply::Status(status.Record());
  };
  table.Add(kStatusPath, "GETSTATUS", get_status);
  // The endpoint's event streams answer EVENTS with a stream that starts with this same
  // record; without them it is answered as GETSTATUS.
  table.Add(kStatusPath, kEventsAction, get_status);
}

}  // namespace velnaro

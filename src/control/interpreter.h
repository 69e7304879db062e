#pragma once
// The command interpreter: turns one request that reached the control endpoint into a
// reply text and, through its command table, into an action.

#include <string>

#include "control/command_table.h"
#include "control/request_handler.h"

namespace velnaro {

class PhoneStatus;
class ServiceLog;
class TwebServer;

// Splits one entry at fixed positions: the name is its first six characters, the value
// everything from the eighth on. The seventh character is skipped unexamined.
void SplitEntry(const std::string& entry, std::string& name, std::string& value);

class Interpreter final : public RequestHandler {
 public:
  // Requests are logged to log; in detail while the window's ckLogHTTPRequest is ticked.
  Interpreter(ServiceLog& log, const TwebServer& window) : log_(log), window_(window) {}

  CommandTable& Commands() { return commands_; }

  // The reply text (empty for a request without parameters), and the command the request
  // named. A failure raised by a command passes through to the caller.
  CommandRequest AnalizzaParametri(const ControlRequest& request, std::string& reply);

  // RequestHandler: the one reading of the request, for a command and a stream alike.
  ControlReply HandleRequest(const ControlRequest& request) override;

 private:
  ServiceLog& log_;
  const TwebServer& window_;
  CommandTable commands_;
};

// "/phone/" GETSTATUS over the record, and "/phone/" EVENTS with the same reply (the
// opening of a status event stream).
void RegisterStatusCommand(CommandTable& table, const PhoneStatus& status);

}  // namespace velnaro

#pragma once
// The command interpreter: turns one request that reached the control endpoint into a
// reply text and, through the command table, into an action.

#include <string>

#include "control/request_handler.h"

namespace velnaro {

class TwebServer;

// Splits one entry at fixed positions: the name is its first six characters, the value
// everything from the eighth on. The seventh character is skipped unexamined.
void SplitEntry(const std::string& entry, std::string& name, std::string& value);

// Returns the reply text (empty for a request without parameters). A failure raised by a
// command passes through to the caller.
void AnalizzaParametri(TwebServer& server, const ControlRequest& request, std::string& reply);

// The entries this unit contributes: "/phone/" GETSTATUS, and "/phone/" EVENTS with the
// same reply (the opening of a status event stream).
void RegisterStatusCommand(TwebServer& server);

}  // namespace velnaro

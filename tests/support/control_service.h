#pragma once
// The control service as the program puts it together: the record and service log, the
// control window's fields, and the interpreter with the status commands.

#include "control/interpreter.h"
#include "control/web_server.h"
#include "support/control_service.h"
#include "status/phone_status.h"

namespace velnaro::testing {

struct ControlService {
  ControlService() { RegisterStatusCommand(interpreter.Commands(), status); }
  PhoneStatus status;
  TwebServer window{status};
  Interpreter interpreter{status, window};
};

}  // namespace velnaro::testing

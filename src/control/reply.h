#pragma once
// The control reply: one line of JSON-shaped text built from fixed pieces.
// Inserted values are JSON-escaped; ordinary values pass unchanged, so the
// documented lengths hold for them.

#include <string>
#include <string_view>

#include "status/phone_status.h"

namespace velnaro::reply {

using StatusFields = velnaro::StatusFields;

// Escapes '"', '\\' and control characters for use inside a JSON string, and '<', '>' and
// '&' as \u003c, \u003e and \u0026.
std::string JsonEscape(std::string_view value);

std::string NotRecognised();                        // ErroreID 1, 108 characters
std::string Simple(std::string_view status);        // ErroreID 0, Status X
std::string Status(const StatusFields& fields);     // GETSTATUS
std::string Call(std::string_view prefix, std::string_view number);
std::string Dtmf(std::string_view number);
std::string SaveError();                            // ErroreID 2, 108 characters

}  // namespace velnaro::reply

#pragma once
// The phone's state as the record holds it, and the text each value has on the wire
// (GETSTATUS, the event stream). The text exists only where a reply is built.

#include <string_view>

namespace velnaro {

// Stato: the line's registration or call.
enum class LineState {
  kNone,  // nothing yet: before the phone first goes on line
  kIdle,
  kInCall,
  kOffline,
  kError,
  kOnline,
  kUnregister,
  kRegistering,
  kUnregistering,
};

// ChiamataStato: how far the current call has come.
enum class CallState {
  kNone,  // no call yet; as an argument: leave the call's fields as they are
  kCallIn,
  kRinging,
  kRingingStop,
  kAnswered,
  kHangUp,
  kCallOut,
};

constexpr std::string_view WireText(LineState s) {
  switch (s) {
    case LineState::kNone: return "";
    case LineState::kIdle: return "IDLE";
    case LineState::kInCall: return "INCALL";
    case LineState::kOffline: return "OFFLINE";
    case LineState::kError: return "ERROR";
    case LineState::kOnline: return "ONLINE";
    case LineState::kUnregister: return "UNREGISTER";
    case LineState::kRegistering: return "REGISTERING";
    case LineState::kUnregistering: return "UNREGISTERING";
  }
  return "";
}

constexpr std::string_view WireText(CallState s) {
  switch (s) {
    case CallState::kNone: return "";
    case CallState::kCallIn: return "CALLIN";
    case CallState::kRinging: return "RINGING";
    case CallState::kRingingStop: return "RINGINGSTOP";
    case CallState::kAnswered: return "ANSWERE";  // sic: the pages compare this text
    case CallState::kHangUp: return "HANGUP";
    case CallState::kCallOut: return "CALLOUT";
  }
  return "";
}

constexpr std::string_view WireFlag(bool on) {
  return on ? "1" : "0";
}

}  // namespace velnaro

#pragma once
// The status record as the wire shows it (GETSTATUS, the event stream), so that a test
// reads and builds records as a page sees them.

#include <ostream>
#include <string>

#include "status/phone_status.h"

namespace velnaro {
// Test messages and gtest print the states as the wire writes them.
inline std::ostream& operator<<(std::ostream& os, LineState s) {
  return os << WireText(s);
}
inline std::ostream& operator<<(std::ostream& os, CallState s) {
  return os << WireText(s);
}
}  // namespace velnaro

namespace velnaro::testing {

struct WireFields {
  std::string Stato, ChiamataStato, ChiamataPrefix, ChiamataNumero;
  std::string Rec = "0", Hold = "0", Mute = "0";
  bool operator==(const WireFields&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const WireFields& f) {
    return os << '{' << f.Stato << ' ' << f.ChiamataStato << ' ' << f.ChiamataPrefix << ' '
              << f.ChiamataNumero << " rec" << f.Rec << " hold" << f.Hold << " mute" << f.Mute
              << '}';
  }
};

inline WireFields Wire(const StatusFields& f) {
  return {std::string(WireText(f.Stato)),
          std::string(WireText(f.ChiamataStato)),
          f.ChiamataPrefix,
          f.ChiamataNumero,
          std::string(WireFlag(f.Rec)),
          std::string(WireFlag(f.Hold)),
          std::string(WireFlag(f.Mute))};
}

inline StatusFields FromWire(const WireFields& w) {
  StatusFields f;
  for (int i = 0; i <= static_cast<int>(LineState::kUnregistering); ++i)
    if (WireText(static_cast<LineState>(i)) == w.Stato) f.Stato = static_cast<LineState>(i);
  for (int i = 0; i <= static_cast<int>(CallState::kCallOut); ++i)
    if (WireText(static_cast<CallState>(i)) == w.ChiamataStato)
      f.ChiamataStato = static_cast<CallState>(i);
  f.ChiamataPrefix = w.ChiamataPrefix;
  f.ChiamataNumero = w.ChiamataNumero;
  f.Rec = w.Rec == "1";
  f.Hold = w.Hold == "1";
  f.Mute = w.Mute == "1";
  return f;
}

}  // namespace velnaro::testing

#pragma once
// A phone that does nothing and answers false: the base of the tests' recording phones,
// which override only what they watch.

#include <functional>
#include <string>

#include "telephony/phone.h"

namespace velnaro::testing {

class NullPhone : public Phone {
 public:
  void AttivaTelefono() override {}
  bool DisattivaTelefono() override { return false; }
  std::string txtIPVPN() const override { return {}; }
  void SetTxtIPVPN(const std::string&) override {}
  void SetAccount(const std::string&, const std::string&, const std::string&,
                  const std::string&) override {}
  std::string EditSIPProxy() const override { return {}; }
  void SetNumber(const std::string&) override {}
  void Dial(int) override {}
  void HangUp(int) override {}
  void HoldIfInCall(int) override {}
  void UnholdIfOnHold(int) override {}
  bool InCall(int) override { return false; }
  bool PlaceCall(int, const std::string&) override { return false; }
  bool EndCall(int) override { return false; }
  bool Hold(int) override { return false; }
  bool Unhold(int) override { return false; }
  bool SendDtmf(int, const std::string&) override { return false; }
  bool StartRecording(int) override { return false; }
  bool StartRecordingMode(int, int, bool) override { return false; }
  bool SaveRecording(int, const std::string&) override { return false; }
  void Mute(int, bool) override {}
  void AsOneStep(const std::function<void()>& step) override { step(); }
};

}  // namespace velnaro::testing

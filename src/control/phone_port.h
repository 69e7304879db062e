#pragma once
// What the control commands need of the phone: the phone controller's line-1 operations
// and a few SIP component operations. The telephony layer implements it.

#include <string>

namespace velnaro {

class PhonePort {
 public:
  virtual ~PhonePort() = default;
  virtual void SetNumber(const std::string& number) = 0;  // the phone window's txtNumero
  virtual void DialLine1() = 0;                            // Button1Click
  virtual void HangUpLine1() = 0;                          // Button2Click
  virtual void HoldLine1() = 0;                            // Button5Click
  virtual void UnholdLine1() = 0;                          // Button6Click
  // SIP component operations, by their numbers: 24, 40, 59, 41.
  virtual bool SendDtmf(int line, const std::string& digits) = 0;
  virtual bool StartRecording(int line) = 0;
  virtual bool StartRecordingMode(int line, int mode, bool enable) = 0;
  virtual bool SaveRecording(int line, const std::string& path) = 0;
  // Microphone of a line, for MUTE/UNMUTE.
  virtual void SetMicrophoneMuted(int line, bool muted) = 0;
};

}  // namespace velnaro

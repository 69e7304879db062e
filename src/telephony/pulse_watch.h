#pragma once
// The sound server's view of the desktop: its default sink and source, and a call whenever
// a device comes, goes or the default changes. A server that is not there yet (the agent
// started before the desktop's sound) is waited for, one that goes away is waited for
// again. Its own thread ("sound-watch").

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "telephony/sound_devices.h"

namespace velnaro {

class PulseWatch {
 public:
  // `on_change` runs on the watch's thread after every change; it must not block.
  explicit PulseWatch(std::function<void()> on_change);
  ~PulseWatch();
  PulseWatch(const PulseWatch&) = delete;
  PulseWatch& operator=(const PulseWatch&) = delete;

  // Descriptions of the default devices, as the SIP library names its devices; empty
  // while unknown.
  std::string DefaultSink() const;
  std::string DefaultSource() const;

  // Whether the server is there and answering, and how many times it has come (a server
  // that restarts comes again).
  bool Connected() const;
  int Connections() const;

  // The server's sinks and sources by its own names (a monitor's ends in ".monitor").
  std::vector<SoundDevice> Devices() const;

  // Moves this process's playback streams to the sink described `sink` and its capture
  // streams to the source described `source` (either empty: left where they are). The
  // library's sound filters cannot change their device while they run; the server can.
  void MoveStreams(const std::string& sink, const std::string& source);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velnaro

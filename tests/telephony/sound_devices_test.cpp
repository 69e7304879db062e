// Which devices can carry a call and which one a call takes.
#include "telephony/sound_devices.h"

#include <gtest/gtest.h>

#include "telephony/sip_user_agent.h"

namespace velnaro {
namespace {

const SoundDevice kMonitor{"PulseAudio Unknown: Monitor of Speakers", "Monitor of Speakers", "PulseAudio", true, false};
const SoundDevice kNull{"PulseAudio Unknown: auto_null", "auto_null", "PulseAudio", true, true};
const SoundDevice kAlsaDefault{"ALSA Unknown: default", "default", "ALSA", true, true};
const SoundDevice kSpeakers{"PulseAudio Unknown: Speakers", "Speakers", "PulseAudio", false, true};
const SoundDevice kDeskMic{"PulseAudio Unknown: Desk Mic", "Desk Mic", "PulseAudio", true, false};
const SoundDevice kJabra{"PulseAudio Unknown: Jabra Evolve", "Jabra Evolve", "PulseAudio", true, true};

TEST(SoundDevices, StandInsAndMonitorsAreNoDevice) {
  EXPECT_EQ(MissingSound({kMonitor, kNull, kAlsaDefault, kSpeakers}), sip_error::kInputDevice);
  EXPECT_EQ(MissingSound({kDeskMic, kNull}), sip_error::kOutputDevice);
  EXPECT_EQ(MissingSound({kDeskMic, kSpeakers}), sip_error::kNone);
  EXPECT_EQ(PickSoundDevice({kMonitor, kNull}, true, "default", "auto_null"), nullptr);
}

TEST(SoundDevices, TheSettingWinsWhilePresentThenTheDesktopsDefault) {
  const std::vector<SoundDevice> all{kDeskMic, kSpeakers, kJabra};
  EXPECT_EQ(PickSoundDevice(all, true, "jabra", "Desk Mic"), &all[2]);
  EXPECT_EQ(PickSoundDevice(all, false, "JABRA", "Speakers"), &all[2]);
  EXPECT_EQ(PickSoundDevice(all, true, "default", "Jabra Evolve"), &all[2]);
  EXPECT_EQ(PickSoundDevice(all, true, "", "Desk Mic"), &all[0]);
  const std::vector<SoundDevice> unplugged{kDeskMic, kSpeakers};
  EXPECT_EQ(PickSoundDevice(unplugged, true, "jabra", "Desk Mic"), &unplugged[0]);
  EXPECT_EQ(PickSoundDevice(unplugged, false, "jabra", ""), &unplugged[1]);
}

}  // namespace
}  // namespace velnaro

#pragma once
// A sound card of the agent's own for machines without one (CI, servers), and what the
// library is given while a real device is missing: its capture sends silence and its
// playback drops what it gets, unless a device is plugged in.
// Registered with the media library's card manager, so the library's mixer (conference)
// works as with a real device.

#include <cstddef>
#include <cstdint>
#include <memory>

struct _MSFactory;

namespace velnaro::virtual_sound {

// Id under which the card is known to the library ("driver: name"), and its driver.
inline constexpr const char* kCardId = "Velnaro: Virtual";
inline constexpr const char* kDriver = "Velnaro";

// What stands behind the card. Called on the media library's threads, one block at a time,
// mono 16-bit samples at the stream's rate.
class Device {
 public:
  virtual ~Device() = default;
  // Fills `n` samples of a capture stream; `position` counts the stream's samples so far.
  virtual void Capture(uint64_t position, int rate, int16_t* out, size_t n) = 0;
  // Takes `n` played samples (the first channel).
  virtual void Play(int rate, const int16_t* in, size_t n) = 0;
};

// Adds the card to the factory's card manager (once per factory).
void Register(struct _MSFactory* factory);

// Plugs `device` in behind every stream of the card from its next block on; nullptr
// unplugs it.
void SetDevice(std::shared_ptr<Device> device);

}  // namespace velnaro::virtual_sound

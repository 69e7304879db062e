#pragma once
// A sound card of the agent's own for machines without one (CI, servers): its capture
// sends a test tone or silence, its playback discards what it gets or keeps it for tests.
// Registered with the media library's card manager, so the library's mixer (conference)
// works as with a real device.

#include <vector>

struct _MSFactory;

namespace velnaro::virtual_sound {

// Id under which the card is known to the library ("driver: name").
inline constexpr const char* kCardId = "Velnaro: Virtual";

// Adds the card to the factory's card manager (once per factory).
void Register(struct _MSFactory* factory);

// Capture tone in Hz; 0 sends silence.
void SetTone(int hz);
// Keep played audio instead of discarding it.
void SetKeepPlayed(bool keep);
// Takes the kept samples (mono, 16-bit) and their rate.
std::vector<short> TakePlayed(int* rate);

}  // namespace velnaro::virtual_sound

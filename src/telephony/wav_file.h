#pragma once
// The little WAV handling the recorder needs: read 16-bit PCM files of any rate and channel
// count, mix them down to mono, resample, and write one 16-bit mono file.

#include <cstdint>
#include <string>
#include <vector>

namespace velnaro::wav {

struct Audio {
  int rate = 0;
  std::vector<int16_t> mono;
};

// Reads a 16-bit PCM WAV file, channels mixed down to one. A data chunk whose size was never
// written (a recorder that did not finish) is taken to run to the end of the file.
bool ReadMono(const std::string& path, Audio* out);

// Resampling through a low-pass filter (nothing above the lower rate's half folds back).
std::vector<int16_t> Resample(const std::vector<int16_t>& in, int from_rate, int to_rate);

// One 16-bit mono file, readable by its owner alone.
bool WriteMono(const std::string& path, int rate, const std::vector<int16_t>& samples);

// Joins the files in order into one mono file at `rate`, readable by its owner alone;
// false when none could be read.
bool Concatenate(const std::vector<std::string>& inputs, const std::string& output, int rate);

}  // namespace velnaro::wav

// Arbitrary bytes as a recorder segment. Reading gives samples at a usable rate or fails;
// joining two copies gives an 8 kHz file holding exactly the samples the resampling
// promises for each, or fails exactly when reading does.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/scratch_file.h"
#include "telephony/wav_file.h"

namespace {

namespace fs = std::filesystem;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Joins of very slow rates grow a thousandfold; the unit tests cover long outputs.
constexpr uint64_t kMaxJoinSamples = 1u << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = velnaro::fuzz::Scratch() / "in.wav",
                    out = velnaro::fuzz::Scratch() / "out.wav";
  velnaro::fuzz::WriteWhole(in, data, size);
  velnaro::wav::Audio audio;
  const bool read = velnaro::wav::ReadMono(in, &audio);
  if (read) Check(audio.rate > 0 && audio.mono.size() <= size / 2);

  const uint64_t each = !read ? 0
                        : audio.rate == 8000
                            ? audio.mono.size()
                            : static_cast<uint64_t>(static_cast<double>(audio.mono.size()) * 8000 /
                                                    audio.rate);
  if (2 * each > kMaxJoinSamples) return 0;
  fs::remove(out);
  Check(velnaro::wav::Concatenate({in, in}, out, 8000) == read);
  if (!read) {
    Check(!fs::exists(out));
    return 0;
  }
  velnaro::wav::Audio joined;
  Check(velnaro::wav::ReadMono(out, &joined));
  Check(joined.rate == 8000 && joined.mono.size() == 2 * each);
  return 0;
}

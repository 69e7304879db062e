// Joining recorder segments of different formats into one 8 kHz mono file.

#include "telephony/wav_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace velnaro::wav {
namespace {

std::vector<int16_t> Tone(int rate, double hz, size_t n, int amp = 8000) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(amp * std::sin(2 * M_PI * hz * i / rate));
  return v;
}

double Share(const std::vector<int16_t>& x, int rate, double hz) {
  double e = 0, s1 = 0, s2 = 0;
  const double w = 2 * M_PI * hz / rate;
  for (int16_t v : x) {
    e += double(v) * v;
    const double s0 = v + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) / (x.size() / 2.0 * e);
}

// A 16-bit PCM file with the given channels; data_size_field overrides the chunk size.
void WriteRaw(const std::string& path, int rate, int channels, const std::vector<int16_t>& interleaved,
              int64_t data_size_field = -1) {
  auto put32 = [](std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); };
  auto put16 = [](std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t data = static_cast<uint32_t>(interleaved.size() * 2);
  std::string h = "RIFF";
  put32(h, 36 + data);
  h += "WAVEfmt ";
  put32(h, 16);
  put16(h, 1);
  put16(h, static_cast<uint16_t>(channels));
  put32(h, static_cast<uint32_t>(rate));
  put32(h, static_cast<uint32_t>(rate * channels * 2));
  put16(h, static_cast<uint16_t>(channels * 2));
  put16(h, 16);
  h += "LIST";  // an extra chunk before the data, as some recorders write
  put32(h, 4);
  h += "INFO";
  h += "data";
  put32(h, data_size_field >= 0 ? static_cast<uint32_t>(data_size_field) : data);
  std::ofstream out(path, std::ios::binary);
  out.write(h.data(), static_cast<std::streamsize>(h.size()));
  out.write(reinterpret_cast<const char*>(interleaved.data()), data);
}

class WavTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("velnaro-wav-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string P(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(WavTest, MonoRoundTrip) {
  const auto tone = Tone(8000, 1000, 4000);
  ASSERT_TRUE(WriteMono(P("a.wav"), 8000, tone));
  Audio a;
  ASSERT_TRUE(ReadMono(P("a.wav"), &a));
  EXPECT_EQ(a.rate, 8000);
  EXPECT_EQ(a.mono, tone);
  EXPECT_EQ(std::filesystem::file_size(P("a.wav")), 44u + 8000u);
}

TEST_F(WavTest, SegmentsOfDifferentFormatsJoinInOrder) {
  WriteMono(P("call.wav"), 8000, Tone(8000, 600, 8000));  // one second
  // The mix: 16 kHz stereo, a different party on each channel.
  const auto left = Tone(16000, 1400, 32000), right = Tone(16000, 2200, 32000);
  std::vector<int16_t> stereo;
  for (size_t i = 0; i < left.size(); ++i) {
    stereo.push_back(left[i]);
    stereo.push_back(right[i]);
  }
  WriteRaw(P("mix.wav"), 16000, 2, stereo);
  std::ofstream(P("junk.wav")) << "not a wave file";
  ASSERT_TRUE(Concatenate({P("call.wav"), P("junk.wav"), P("mix.wav")}, P("out.wav"), 8000));
  Audio out;
  ASSERT_TRUE(ReadMono(P("out.wav"), &out));
  EXPECT_EQ(out.rate, 8000);
  ASSERT_EQ(out.mono.size(), 8000u + 16000u);
  const std::vector<int16_t> first(out.mono.begin(), out.mono.begin() + 8000);
  const std::vector<int16_t> second(out.mono.begin() + 8000, out.mono.end());
  EXPECT_GT(Share(first, 8000, 600), 0.9);
  EXPECT_GT(Share(second, 8000, 1400), 0.3);
  EXPECT_GT(Share(second, 8000, 2200), 0.2);
  EXPECT_LT(Share(second, 8000, 600), 0.01);
}

TEST_F(WavTest, UnfinishedDataChunkRunsToTheEnd) {
  WriteRaw(P("open.wav"), 8000, 1, Tone(8000, 500, 1600), 0);
  Audio a;
  ASSERT_TRUE(ReadMono(P("open.wav"), &a));
  EXPECT_EQ(a.mono.size(), 1600u);
  WriteRaw(P("long.wav"), 8000, 1, Tone(8000, 500, 1600), 1 << 30);
  ASSERT_TRUE(ReadMono(P("long.wav"), &a));
  EXPECT_EQ(a.mono.size(), 1600u);
}

TEST_F(WavTest, RejectsWhatItCannotRead) {
  Audio a;
  EXPECT_FALSE(ReadMono(P("missing.wav"), &a));
  std::ofstream(P("short.wav")) << "RIFF";
  EXPECT_FALSE(ReadMono(P("short.wav"), &a));
  // 8-bit samples are not what the recorders write.
  WriteRaw(P("pcm8.wav"), 8000, 1, Tone(8000, 500, 100));
  {
    std::fstream f(P("pcm8.wav"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(34);
    const uint16_t bits = 8;
    f.write(reinterpret_cast<const char*>(&bits), 2);
  }
  EXPECT_FALSE(ReadMono(P("pcm8.wav"), &a));
  EXPECT_FALSE(Concatenate({P("missing.wav"), P("short.wav")}, P("none.wav"), 8000));
  EXPECT_FALSE(std::filesystem::exists(P("none.wav")));
}

TEST_F(WavTest, LongSegmentsJoinAsIfReadWhole) {
  // Longer than the blocks the join reads, and at rates it must convert.
  const auto call = Tone(8000, 700, 50001);
  const auto mix = Tone(16000, 1900, 70003);
  const auto wide = Tone(44100, 300, 90007);
  WriteMono(P("call.wav"), 8000, call);
  WriteMono(P("mix.wav"), 16000, mix);
  WriteMono(P("wide.wav"), 44100, wide);
  std::ofstream(P("out.wav")) << "an older recording";
  ASSERT_TRUE(Concatenate({P("call.wav"), P("mix.wav"), P("wide.wav")}, P("out.wav"), 8000));
  std::vector<int16_t> expected = call;
  for (const auto& part : {Resample(mix, 16000, 8000), Resample(wide, 44100, 8000)})
    expected.insert(expected.end(), part.begin(), part.end());
  Audio out;
  ASSERT_TRUE(ReadMono(P("out.wav"), &out));
  EXPECT_EQ(out.rate, 8000);
  EXPECT_EQ(out.mono, expected);
  EXPECT_EQ(std::filesystem::file_size(P("out.wav")), 44u + 2 * expected.size());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 4);
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(P("out.wav")).permissions() & perms::all,
            perms::owner_read | perms::owner_write)
      << "a recording is the operator's alone";
}

TEST_F(WavTest, AJoinThatCannotBeWrittenFails) {
  WriteMono(P("call.wav"), 8000, Tone(8000, 700, 800));
  EXPECT_FALSE(Concatenate({P("call.wav")}, P("no-folder/out.wav"), 8000));
}

// Only what the lower rate can carry passes: a 6 kHz tone would otherwise fold back to 2 kHz.
TEST_F(WavTest, DownsamplingFiltersOutWhatTheLowerRateCannotCarry) {
  auto rms = [](const std::vector<int16_t>& x) {
    double e = 0;
    for (int16_t v : x) e += double(v) * v;
    return std::sqrt(e / x.size());
  };
  const auto high = Tone(16000, 6000, 16000), low = Tone(16000, 1000, 16000);
  const auto high8 = Resample(high, 16000, 8000), low8 = Resample(low, 16000, 8000);
  ASSERT_EQ(high8.size(), 8000u);
  EXPECT_LT(rms(high8), rms(high) / 100) << "a 6 kHz tone is gone at 8 kHz";
  EXPECT_GT(rms(low8), rms(low) * 0.9) << "1 kHz passes";
  EXPECT_GT(Share(low8, 8000, 1000), 0.9);
}

TEST_F(WavTest, ResampleKeepsTheToneAndTheLength) {
  const auto in = Tone(48000, 1000, 48000);
  const auto out = Resample(in, 48000, 8000);
  EXPECT_EQ(out.size(), 8000u);
  EXPECT_GT(Share(out, 8000, 1000), 0.9);
  EXPECT_EQ(Resample(in, 8000, 8000), in);
  EXPECT_TRUE(Resample({}, 16000, 8000).empty());
}

}  // namespace
}  // namespace velnaro::wav

#include "telephony/virtual_sound_card.h"

#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/msfilter.h>
#include <mediastreamer2/mssndcard.h>
#include <mediastreamer2/msticker.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace velnaro::virtual_sound {
namespace {

std::mutex g_device_mutex;
std::shared_ptr<Device> g_device;

std::shared_ptr<Device> CurrentDevice() {
  std::lock_guard lock(g_device_mutex);
  return g_device;
}

struct Format {
  int rate = 8000;
  int nchannels = 1;
};

struct Source {
  Format fmt;
  uint64_t start_ms = 0;
  uint64_t produced = 0;
  bool started = false;
  std::vector<int16_t> mono;
};

struct Sink {
  Format fmt;
  std::vector<int16_t> mono;
};

int SetRate(MSFilter* f, void* arg) {
  static_cast<Format*>(f->data)->rate = *static_cast<int*>(arg);
  return 0;
}
int GetRate(MSFilter* f, void* arg) {
  *static_cast<int*>(arg) = static_cast<Format*>(f->data)->rate;
  return 0;
}
int SetChannels(MSFilter* f, void* arg) {
  static_cast<Format*>(f->data)->nchannels = *static_cast<int*>(arg);
  return 0;
}
int GetChannels(MSFilter* f, void* arg) {
  *static_cast<int*>(arg) = static_cast<Format*>(f->data)->nchannels;
  return 0;
}

MSFilterMethod g_methods[] = {
    {MS_FILTER_SET_SAMPLE_RATE, SetRate},
    {MS_FILTER_GET_SAMPLE_RATE, GetRate},
    {MS_FILTER_SET_NCHANNELS, SetChannels},
    {MS_FILTER_GET_NCHANNELS, GetChannels},
    {0, nullptr},
};

// Format must be the first member of both states: the methods cast f->data to it.
static_assert(offsetof(Source, fmt) == 0);
static_assert(offsetof(Sink, fmt) == 0);

void SourceInit(MSFilter* f) { f->data = new Source(); }
void SourceUninit(MSFilter* f) { delete static_cast<Source*>(f->data); }
void SourceProcess(MSFilter* f) {
  auto* s = static_cast<Source*>(f->data);
  const uint64_t now = f->ticker->time;
  if (!s->started) {
    s->started = true;
    s->start_ms = now;
  }
  const uint64_t due = (now - s->start_ms + 10) * static_cast<uint64_t>(s->fmt.rate) / 1000;
  const std::shared_ptr<Device> device = CurrentDevice();
  const int ch = s->fmt.nchannels > 0 ? s->fmt.nchannels : 1;
  while (s->produced < due) {
    const int n = static_cast<int>(std::min<uint64_t>(due - s->produced, s->fmt.rate / 50));
    s->mono.assign(static_cast<size_t>(n), 0);
    if (device) device->Capture(s->produced, s->fmt.rate, s->mono.data(), s->mono.size());
    mblk_t* m = allocb(static_cast<size_t>(n * ch * 2), 0);
    auto* out = reinterpret_cast<int16_t*>(m->b_wptr);
    for (int16_t v : s->mono)
      for (int c = 0; c < ch; ++c) *out++ = v;
    m->b_wptr += n * ch * 2;
    ms_queue_put(f->outputs[0], m);
    s->produced += static_cast<uint64_t>(n);
  }
}

void SinkInit(MSFilter* f) { f->data = new Sink(); }
void SinkUninit(MSFilter* f) { delete static_cast<Sink*>(f->data); }
void SinkProcess(MSFilter* f) {
  auto* s = static_cast<Sink*>(f->data);
  const std::shared_ptr<Device> device = CurrentDevice();
  const int ch = s->fmt.nchannels > 0 ? s->fmt.nchannels : 1;
  mblk_t* m;
  while ((m = ms_queue_get(f->inputs[0])) != nullptr) {
    if (device) {
      s->mono.clear();
      for (mblk_t* b = m; b; b = b->b_cont) {
        auto* p = reinterpret_cast<const int16_t*>(b->b_rptr);
        const size_t n = static_cast<size_t>(b->b_wptr - b->b_rptr) / 2;
        for (size_t i = 0; i + ch <= n; i += ch) s->mono.push_back(p[i]);
      }
      device->Play(s->fmt.rate, s->mono.data(), s->mono.size());
    }
    freemsg(m);
  }
}

MSFilterDesc g_source_desc = {MS_FILTER_PLUGIN_ID, "VelnaroVirtualRead", "Virtual capture",
                              MS_FILTER_OTHER, nullptr, 0, 1, SourceInit, nullptr,
                              SourceProcess, nullptr, SourceUninit, g_methods, 0};
MSFilterDesc g_sink_desc = {MS_FILTER_PLUGIN_ID, "VelnaroVirtualWrite", "Virtual playback",
                            MS_FILTER_OTHER, nullptr, 1, 0, SinkInit, nullptr,
                            SinkProcess, nullptr, SinkUninit, g_methods, 0};

MSFilter* CreateReader(MSSndCard* card) {
  return ms_factory_create_filter_from_desc(card->sndcardmanager->factory, &g_source_desc);
}
MSFilter* CreateWriter(MSSndCard* card) {
  return ms_factory_create_filter_from_desc(card->sndcardmanager->factory, &g_sink_desc);
}

void Detect(MSSndCardManager* m);

MSSndCardDesc g_card_desc = [] {
  MSSndCardDesc d{};
  d.driver_type = kDriver;
  d.detect = Detect;
  d.create_reader = CreateReader;
  d.create_writer = CreateWriter;
  return d;
}();

void Detect(MSSndCardManager* m) {
  MSSndCard* card = ms_snd_card_new_with_name(&g_card_desc, "Virtual");
  card->capabilities = MS_SND_CARD_CAP_CAPTURE | MS_SND_CARD_CAP_PLAYBACK;
  card->preferred_sample_rate = 8000;
  ms_snd_card_manager_add_card(m, card);
}

}  // namespace

void Register(MSFactory* factory) {
  MSSndCardManager* m = ms_factory_get_snd_card_manager(factory);
  if (!m || ms_snd_card_manager_get_card(m, kCardId)) return;
  ms_snd_card_manager_register_desc(m, &g_card_desc);
}

void SetDevice(std::shared_ptr<Device> device) {
  std::lock_guard lock(g_device_mutex);
  g_device = std::move(device);
}

}  // namespace velnaro::virtual_sound

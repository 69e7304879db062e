#include "telephony/pulse_watch.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <sys/time.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <utility>
#include <mutex>

#include "platform/support_log.h"

namespace velnaro {

struct PulseWatch::State {
  std::function<void()> on_change;
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;  // mainloop's lock
  mutable std::mutex mutex;        // the names below
  std::string sink, source;
  std::map<std::string, std::string> sinks, sources;  // description -> server's name
  std::map<std::string, std::string> listing_sinks, listing_sources;
  std::string move_sink, move_source;  // descriptions the streams are to move to
  bool connected = false;
  int connections = 0;
  std::chrono::milliseconds retry{kFirstRetry};  // mainloop's lock
  static constexpr std::chrono::milliseconds kFirstRetry{250}, kLastRetry{8000};
  std::condition_variable connected_cv;

  bool Connected() {
    std::lock_guard names(mutex);
    return connected;
  }
  static bool Ours(const pa_proplist* p) {
    const char* pid = pa_proplist_gets(p, PA_PROP_APPLICATION_PROCESS_ID);
    return pid && std::to_string(::getpid()) == pid;
  }
  static std::string NameOf(const std::map<std::string, std::string>& names,
                            const std::string& description) {
    auto it = names.find(description);
    return it == names.end() ? "" : it->second;
  }

  void Connect() {
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "velnaro-ds");
    if (!context) return;
    pa_context_set_state_callback(context, &State::OnState, this);
    // A server that is not there yet is waited for; the desktop starts its own.
    const auto flags = static_cast<pa_context_flags_t>(PA_CONTEXT_NOFAIL | PA_CONTEXT_NOAUTOSPAWN);
    if (pa_context_connect(context, nullptr, flags, nullptr) < 0) ScheduleReconnect();
  }

  void Disconnect() {
    if (!context) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }

  void Refresh() {
    if (pa_operation* op = pa_context_get_sink_info_list(context, &State::OnSinkListed, this))
      pa_operation_unref(op);
    if (pa_operation* op = pa_context_get_source_info_list(context, &State::OnSourceListed, this))
      pa_operation_unref(op);
    if (pa_operation* op = pa_context_get_server_info(context, &State::OnServer, this))
      pa_operation_unref(op);
  }

  // Each list is gathered whole and then replaces the last, so a move never finds it
  // half-listed.
  static void OnSinkListed(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* s = static_cast<State*>(self);
    std::lock_guard names(s->mutex);
    if (eol) s->sinks = std::exchange(s->listing_sinks, {});
    else if (info && info->description) s->listing_sinks[info->description] = info->name;
  }
  static void OnSourceListed(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* s = static_cast<State*>(self);
    std::lock_guard names(s->mutex);
    if (eol) s->sources = std::exchange(s->listing_sources, {});
    else if (info && info->description) s->listing_sources[info->description] = info->name;
  }

  void Move() {
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
    if (pa_operation* op = pa_context_get_sink_input_info_list(context, &State::OnSinkInput, this))
      pa_operation_unref(op);
    if (pa_operation* op =
            pa_context_get_source_output_info_list(context, &State::OnSourceOutput, this))
      pa_operation_unref(op);
  }
  // Where this process's streams go now; empty while no move is asked for.
  std::string MoveTarget(bool to_sink) {
    std::lock_guard names(mutex);
    return to_sink ? NameOf(sinks, move_sink) : NameOf(sources, move_source);
  }
  static void OnSinkInput(pa_context* c, const pa_sink_input_info* info, int eol, void* self) {
    if (eol || !info || !Ours(info->proplist)) return;
    const std::string to = static_cast<State*>(self)->MoveTarget(true);
    if (to.empty()) return;
    if (pa_operation* op = pa_context_move_sink_input_by_name(c, info->index, to.c_str(), nullptr, nullptr))
      pa_operation_unref(op);
  }
  static void OnSourceOutput(pa_context* c, const pa_source_output_info* info, int eol, void* self) {
    if (eol || !info || !Ours(info->proplist)) return;
    const std::string to = static_cast<State*>(self)->MoveTarget(false);
    if (to.empty()) return;
    if (pa_operation* op = pa_context_move_source_output_by_name(c, info->index, to.c_str(), nullptr, nullptr))
      pa_operation_unref(op);
  }

  static void OnState(pa_context* c, void* self) {
    auto* s = static_cast<State*>(self);
    switch (pa_context_get_state(c)) {
      case PA_CONTEXT_READY: {
        std::lock_guard names(s->mutex);
        s->connected = true;
        ++s->connections;
        s->retry = kFirstRetry;
        s->connected_cv.notify_all();
        if (s->connections > 1) SupportLog(LogLevel::kInfo, "sound", "the sound server is back");
      }
        pa_context_set_subscribe_callback(c, &State::OnEvent, s);
        if (pa_operation* op = pa_context_subscribe(
                c,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SOURCE |
                                                    PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr))
          pa_operation_unref(op);
        s->Refresh();
        break;
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        if (s->Connected()) SupportLog(LogLevel::kWarning, "sound", "the sound server went away");
        s->ScheduleReconnect();
        break;
      default:
        break;
    }
  }

  // A server gone away (or refusing): a new context a moment later, and less often while
  // it keeps refusing. A new context waits for a server that is not there yet.
  void ScheduleReconnect() {
    {
      std::lock_guard names(mutex);
      connected = false;
      sinks.clear();
      sources.clear();
      sink.clear();
      source.clear();
    }
    on_change();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    timeval when{};
    gettimeofday(&when, nullptr);
    pa_timeval_add(&when, static_cast<pa_usec_t>(std::chrono::microseconds(retry).count()));
    retry = std::min(retry * 2, std::chrono::milliseconds(kLastRetry));
    api->time_new(api, &when, &State::OnReconnect, this);
  }

  static void OnReconnect(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self) {
    api->time_free(e);
    auto* s = static_cast<State*>(self);
    s->Disconnect();  // not from inside the context's own callback
    s->Connect();
  }

  // Devices that come or go, and the server's defaults; not a device's every change of
  // volume or state, which each call's streams cause.
  static void OnEvent(pa_context*, pa_subscription_event_type_t t, uint32_t, void* self) {
    const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SERVER && type == PA_SUBSCRIPTION_EVENT_CHANGE) return;
    static_cast<State*>(self)->Refresh();
  }

  static void OnServer(pa_context* c, const pa_server_info* info, void* self) {
    auto* s = static_cast<State*>(self);
    if (!info) return;

    // The descriptions are what the SIP library shows; they come one after the other.
    if (info->default_sink_name) {
      if (pa_operation* op = pa_context_get_sink_info_by_name(c, info->default_sink_name,
                                                               &State::OnSink, s))
        pa_operation_unref(op);
    }
    if (info->default_source_name) {
      if (pa_operation* op = pa_context_get_source_info_by_name(c, info->default_source_name,
                                                                 &State::OnSource, s))
        pa_operation_unref(op);
    }
    if (!info->default_sink_name && !info->default_source_name) s->on_change();
  }

  static void OnSink(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* s = static_cast<State*>(self);
    if (eol) return s->on_change();
    std::lock_guard names(s->mutex);
    s->sink = info && info->description ? info->description : "";
  }

  static void OnSource(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* s = static_cast<State*>(self);
    if (eol) return s->on_change();
    std::lock_guard names(s->mutex);
    s->source = info && info->description ? info->description : "";
  }
};

PulseWatch::PulseWatch(std::function<void()> on_change) : state_(std::make_unique<State>()) {
  state_->on_change = std::move(on_change);
  state_->loop = pa_threaded_mainloop_new();
  if (!state_->loop) return;
  pa_threaded_mainloop_set_name(state_->loop, "sound-watch");
  pa_threaded_mainloop_lock(state_->loop);
  state_->Connect();
  pa_threaded_mainloop_unlock(state_->loop);
  if (pa_threaded_mainloop_start(state_->loop) == 0) {
    // A running server answers at once; the phone should not find it missing for that.
    std::unique_lock names(state_->mutex);
    state_->connected_cv.wait_for(names, std::chrono::seconds(1), [&] { return state_->connected; });
  } else {
    pa_threaded_mainloop_lock(state_->loop);
    state_->Disconnect();
    pa_threaded_mainloop_unlock(state_->loop);
    pa_threaded_mainloop_free(state_->loop);
    state_->loop = nullptr;
  }
}

PulseWatch::~PulseWatch() {
  if (!state_->loop) return;
  pa_threaded_mainloop_lock(state_->loop);
  state_->Disconnect();
  pa_threaded_mainloop_unlock(state_->loop);
  pa_threaded_mainloop_stop(state_->loop);
  pa_threaded_mainloop_free(state_->loop);
}

void PulseWatch::MoveStreams(const std::string& sink, const std::string& source) {
  if (!state_->loop) return;
  {
    std::lock_guard names(state_->mutex);
    state_->move_sink = sink;
    state_->move_source = source;
  }
  pa_threaded_mainloop_lock(state_->loop);
  state_->Move();
  pa_threaded_mainloop_unlock(state_->loop);
}

int PulseWatch::Connections() const {
  std::lock_guard names(state_->mutex);
  return state_->connections;
}

bool PulseWatch::Connected() const {
  std::lock_guard names(state_->mutex);
  return state_->connected;
}

std::vector<SoundDevice> PulseWatch::Devices() const {
  std::lock_guard names(state_->mutex);
  std::vector<SoundDevice> out;
  for (const auto& [description, name] : state_->sinks)
    out.push_back({name, description, "PulseAudio", false, true});
  for (const auto& [description, name] : state_->sources)
    out.push_back({name, description, "PulseAudio", true, false});
  return out;
}

std::string PulseWatch::DefaultSink() const {
  std::lock_guard names(state_->mutex);
  return state_->sink;
}

std::string PulseWatch::DefaultSource() const {
  std::lock_guard names(state_->mutex);
  return state_->source;
}

}  // namespace velnaro

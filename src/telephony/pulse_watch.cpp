#include "telephony/pulse_watch.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <sys/time.h>

#include <mutex>

namespace velnaro {

struct PulseWatch::State {
  std::function<void()> on_change;
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;  // mainloop's lock
  mutable std::mutex mutex;        // the two names
  std::string sink, source;

  void Connect() {
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "velnaro-ds");
    if (!context) return;
    pa_context_set_state_callback(context, &State::OnState, this);
    // NOFAIL: a server that is not there yet is waited for.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFAIL, nullptr) < 0) ScheduleReconnect();
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
    if (pa_operation* op = pa_context_get_server_info(context, &State::OnServer, this))
      pa_operation_unref(op);
  }

  static void OnState(pa_context* c, void* self) {
    auto* s = static_cast<State*>(self);
    switch (pa_context_get_state(c)) {
      case PA_CONTEXT_READY:
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
        s->ScheduleReconnect();
        break;
      default:
        break;
    }
  }

  // A server gone away (or refusing): a new context a second later.
  void ScheduleReconnect() {
    {
      std::lock_guard names(mutex);
      sink.clear();
      source.clear();
    }
    on_change();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    timeval when{};
    gettimeofday(&when, nullptr);
    when.tv_sec += 1;
    api->time_new(api, &when, &State::OnReconnect, this);
  }

  static void OnReconnect(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self) {
    api->time_free(e);
    auto* s = static_cast<State*>(self);
    s->Disconnect();  // not from inside the context's own callback
    s->Connect();
  }

  static void OnEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self) {
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
  if (pa_threaded_mainloop_start(state_->loop) < 0) {
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

std::string PulseWatch::DefaultSink() const {
  std::lock_guard names(state_->mutex);
  return state_->sink;
}

std::string PulseWatch::DefaultSource() const {
  std::lock_guard names(state_->mutex);
  return state_->source;
}

}  // namespace velnaro

// What every instrumented test program and fuzzer starts with; ASAN_OPTIONS and its kin add
// to it. Undefined behaviour stops the program like a memory fault does, except where the
// suppression files name a third-party header or an uninstrumented library.
#ifndef VELNARO_SANITIZER_DIR
#error "VELNARO_SANITIZER_DIR names the folder of the suppression files"
#endif

#include <dlfcn.h>

#include <initializer_list>

#define VELNARO_VISIBLE extern "C" __attribute__((visibility("default"), used))

namespace {

// The SIP library's sound-card probe opens the default ALSA device, whose PipeWire plugin
// ALSA loads and unloads again; what the plugin keeps in its globals is then out of the
// leak check's sight and reported against an unknown module. Holding the plugin and its
// library loaded keeps that memory in view. (Nothing happens where they are not installed.)
#ifdef __SANITIZE_ADDRESS__
__attribute__((constructor)) void HoldAlsaPluginsLoaded() {
  for (const char* lib : {"libpipewire-0.3.so.0",
                          VELNARO_LIBRARY_DIR "/alsa-lib/libasound_module_pcm_pipewire.so"})
    dlopen(lib, RTLD_NOW | RTLD_NODELETE);
}
#endif

}  // namespace

VELNARO_VISIBLE const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1:suppressions=" VELNARO_SANITIZER_DIR "/ubsan.supp";
}

VELNARO_VISIBLE const char* __asan_default_options() {
  return "detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1";
}

VELNARO_VISIBLE const char* __lsan_default_options() {
  return "suppressions=" VELNARO_SANITIZER_DIR "/lsan.supp";
}

VELNARO_VISIBLE const char* __tsan_default_options() {
  // Accesses that uninstrumented libraries (Qt, the media library, libpulse) make through
  // the C library are not checked; their locking still counts, so our code stays checked
  // wherever it runs, callbacks from those libraries included.
  return "second_deadlock_stack=1:history_size=4:halt_on_error=1:ignore_noninstrumented_modules=1"
         ":suppressions=" VELNARO_SANITIZER_DIR "/tsan.supp";
}

#pragma once
// Names the calling thread as top -H, ps -L, gdb and /proc show it; at most 15 characters.

#include <pthread.h>

namespace velnaro {

inline void NameThisThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

}  // namespace velnaro

#pragma once
// Threads carry names that ps, top -H and a debugger show (/proc/<pid>/task/<tid>/comm).

#include <pthread.h>

#include <cstring>

namespace velnaro {

// Names the calling thread; the system keeps 15 characters, and so does this.
inline void NameThisThread(const char* name) {
  char kept[16] = {};
  std::strncpy(kept, name, sizeof kept - 1);
  pthread_setname_np(pthread_self(), kept);
}

}  // namespace velnaro

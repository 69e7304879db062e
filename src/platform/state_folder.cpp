#include "platform/state_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace velnaro {

std::string XdgBaseFolder(const char* variable, const char* under_home) {
  if (const char* x = std::getenv(variable); x && *x == '/') return x;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) {
    // No HOME (started by a service manager): the account's own home, never a shared folder.
    home = pw->pw_dir;
  } else {
    return "/tmp";
  }
  return home + "/" + under_home;
}

std::string AgentStateFolder() {
  return XdgBaseFolder("XDG_STATE_HOME", ".local/state") + "/velnaro-ds";
}

bool PrivateFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    return false;
  return (st.st_mode & 077) == 0 || ::chmod(folder.c_str(), 0700) == 0;
}

std::string OwnRuntimeFolder() { return "/tmp/velnaro-ds-" + std::to_string(::geteuid()); }

void SettleEnvironment() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return;
  const std::string folder = OwnRuntimeFolder();
  if (PrivateFolder(folder)) ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
}

int MakeOwnerOnlyFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) return errno;
  return 0;
}

}  // namespace velnaro

#pragma once
// The user's own folders for what outlives a run (XDG base directories), made owner-only.

#include <string>

namespace velnaro {

// $variable when it names an absolute path, else the home folder + "/" + under_home
// ($HOME, else the account's home; /tmp only when there is none at all).
std::string XdgBaseFolder(const char* variable, const char* under_home);

// $XDG_STATE_HOME/velnaro-ds, or ~/.local/state/velnaro-ds.
std::string AgentStateFolder();

// Makes path and every missing folder above it (each 0700); path itself, when it was
// there already, becomes 0700 too. 0 on success, else an errno.
int MakeOwnerOnlyFolders(const std::string& path);

}  // namespace velnaro

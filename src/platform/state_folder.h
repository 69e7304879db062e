#pragma once
// The user's own folders for what outlives a run (XDG base directories), made owner-only.

#include <string>

namespace velnaro {

// $variable when it names an absolute path, else the home folder + "/" + under_home
// ($HOME, else the account's home; /tmp only when there is none at all).
std::string XdgBaseFolder(const char* variable, const char* under_home);

// $XDG_STATE_HOME/velnaro-ds, or ~/.local/state/velnaro-ds.
std::string AgentStateFolder();

// The folder, made 0700 when missing; a folder of ours that was widened is narrowed again.
// False when it is not a folder of this user's alone.
bool PrivateFolder(const std::string& folder);

// The user's runtime folder where the session names none: /tmp/velnaro-ds-<uid>.
std::string OwnRuntimeFolder();

// A session without XDG_RUNTIME_DIR is given OwnRuntimeFolder() (left without one when
// that is not this user's alone): the sound library keeps its runtime files there instead
// of in $HOME and /tmp. Changing the environment races every other thread's reading of it,
// so main calls this before it starts any.
void SettleEnvironment();

// Makes path and every missing folder above it (each 0700); path itself, when it was
// there already, becomes 0700 too. 0 on success, else an errno.
int MakeOwnerOnlyFolders(const std::string& path);

}  // namespace velnaro

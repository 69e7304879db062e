#pragma once
// Replacing a file's contents so that a reader, or a second writer of the same name, only
// ever sees one whole file under that name.

#include <string>
#include <string_view>

namespace velnaro {

enum class FileAccess {
  kUsual,      // 0666 less the umask, as any new file
  kOwnerOnly,  // exactly 0600, whatever the umask
};

// Writes `data` beside `path` and renames it into place. With `durable`, the data and the
// directory entry reach the disk before this returns. 0 on success, otherwise the errno of
// the step that failed; nothing is left beside the name then.
int ReplaceFile(const std::string& path, std::string_view data, FileAccess access, bool durable);

}  // namespace velnaro

#pragma once
// Replacing a file's contents so that a reader, or a second writer of the same name, only
// ever sees one whole file under that name.

#include <cstdint>
#include <string>
#include <string_view>

namespace velnaro {

enum class FileAccess {
  kUsual,      // 0666 less the umask, as any new file
  kOwnerOnly,  // exactly 0600, whatever the umask
  kEveryone,   // exactly 0644: files other users' programs read (browser policies)
};

// New contents built piece by piece beside `path`, renamed into place by Commit. Until then
// the old file stays as it was; dropped uncommitted, or after any failure, nothing is left
// beside the name.
class FileReplacement {
 public:
  FileReplacement(std::string path, FileAccess access);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // 0 while every step so far worked, otherwise the errno of the first that failed; once
  // set, later steps do nothing.
  int error() const { return error_; }
  bool Write(std::string_view data);
  bool WriteAt(uint64_t offset, std::string_view data);  // over what was already written
  // With `durable`, the data and the directory entry reach the disk before this returns.
  // The first error, 0 on success.
  int Commit(bool durable);

 private:
  void Abandon(int error);

  std::string path_, aside_;
  int fd_ = -1;
  int error_ = 0;
};

// The whole of `data` as the new contents of `path`: 0 on success, otherwise the errno of
// the step that failed.
int ReplaceFile(const std::string& path, std::string_view data, FileAccess access, bool durable);

}  // namespace velnaro

// The folder spool's file-system steps (spool_folders.h).
#ifdef __linux__

#include "tools/spool_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/file_name.h"
#include "sign/output_file.h"
#include "tools/command.h"

namespace Lumo::Tool {

std::string Shown(const std::string& name) { return Lumo::Base::FileNameForMessage(name); }

std::string Path(const std::string& folder, const std::string& name) { return folder + "/" + name; }

[[noreturn]] void RaiseMachine(const std::string& what, const std::string& path, int error) {
  throw MachineError(what + " \"" + Shown(path) + "\": " + Lumo::Sign::SystemErrorText(error));
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListFolder(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) RaiseMachine("cannot read folder", folder, errno);
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    const char* n = entry->d_name;
    if (std::strcmp(n, ".") != 0 && std::strcmp(n, "..") != 0) names.emplace_back(n);
  }
  ::closedir(dir);
  return names;
}

void FlushFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) RaiseMachine("cannot open folder", folder, errno);
  const int rc = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (rc != 0) RaiseMachine("cannot flush folder", folder, error);
}

Move MoveNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return Move::Done;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      if (::unlink(from.c_str()) != 0) RaiseMachine("cannot remove", from, errno);
      return Move::Done;
    }
    error = errno;
  }
  if (error == EEXIST) return Move::Exists;
  if (error == ENOENT && !Exists(from)) return Move::Gone;
  RaiseMachine("cannot move", from, error);
}

void MakeFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw UsageError("cannot create folder \"" + Shown(folder) + "\"");
}

dev_t DeviceOf(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) return 0;
  return st.st_dev;
}

}  // namespace Lumo::Tool

#endif  // __linux__

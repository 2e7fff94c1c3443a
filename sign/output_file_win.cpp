// Result files on Windows: CreateFileA, WriteFile, FlushFileBuffers and MoveFileExA with
// write-through; no folder flush and no group (each file is placed as it is committed).
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <mutex>

#include "sign/message.h"
#include "sign/output_file.h"
#include "sign/output_file_os.h"

namespace Lumo::Sign {

using Lumo::Base::AnsiString;
using namespace Os;

const char* const Os::kFolderSeparators = "\\/:";

unsigned long Os::ProcessId() { return GetCurrentProcessId(); }

void Os::RemoveFile(const AnsiString& name) noexcept { DeleteFileA(name.c_str()); }

// A folder is not flushed on Windows: nothing to put off.
FolderFlushScope::FolderFlushScope() = default;
FolderFlushScope::~FolderFlushScope() = default;

// Nor is a group made: each file is flushed and renamed as it is committed.
struct GroupCommit::State {};
GroupCommit::GroupCommit(FailureReport, size_t, std::chrono::milliseconds) {}
GroupCommit::~GroupCommit() = default;
void GroupCommit::Finish() {}
bool OutputFile::HandToGroup() { return false; }

std::string SystemErrorText(int error) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                nullptr, static_cast<DWORD>(error), 0,
                                reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) text.assign(buffer, length);
  if (buffer != nullptr) LocalFree(buffer);
  // As the platform's run-time shows system messages: no trailing line break or full stop.
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) {
    text.pop_back();
  }
  return InMessage(text);
}

AnsiString ExpandFileName(const AnsiString& fileName) {
  char buffer[MAX_PATH * 2];
  char* filePart = nullptr;
  DWORD n = GetFullPathNameA(fileName.c_str(), sizeof buffer, buffer, &filePart);
  if (n == 0 || n >= sizeof buffer) return fileName;
  return AnsiString(buffer, n);
}

OutputFile::OutputFile(const AnsiString& fileName)
    : fileName_(fileName), handle_(INVALID_HANDLE_VALUE) {
  AnsiString base;
  SplitFileName(fileName, folder_, base);
  DWORD attributes = GetFileAttributesA(fileName.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    RaiseCreateError(fileName, ERROR_ACCESS_DENIED);
  }
  target_ = fileName;
  std::lock_guard<std::mutex> lock(TemporaryLock());
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    AnsiString name = TemporaryName(folder_, base, attempt);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = h;
      temp_ = std::move(name);
      TemporaryNames().push_back(temp_);
      return;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      RaiseCreateError(fileName, static_cast<int>(error));
    }
  }
  RaiseCreateError(fileName, ERROR_FILE_EXISTS);
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() noexcept {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  if (!placed_ && !temp_.empty()) {
    std::lock_guard<std::mutex> lock(TemporaryLock());
    DeleteFileA(temp_.c_str());
    Unlist(temp_);
  }
  temp_.clear();
}

void OutputFile::WriteOut(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(handle_, p, chunk, &written, nullptr)) {
      DWORD error = GetLastError();
      Discard();
      RaiseWriteError(fileName_, static_cast<int>(error));
    }
    if (written == 0) {  // a short write that makes no progress
      Discard();
      RaiseWriteError(fileName_, ERROR_DISK_FULL);
    }
    p += written;
    left -= written;
  }
}

void OutputFile::Commit() {
  auto fail = [&](bool create, DWORD error) {
    Discard();
    if (create) RaiseCreateError(fileName_, static_cast<int>(error));
    RaiseWriteError(fileName_, static_cast<int>(error));
  };
  WriteHeld();
  if (!FlushFileBuffers(handle_)) fail(false, GetLastError());
  HANDLE closing = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  if (!CloseHandle(closing)) fail(false, GetLastError());
  {
    std::lock_guard<std::mutex> lock(TemporaryLock());
    if (MoveFileExA(temp_.c_str(), target_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      Unlist(temp_);
      placed_ = true;
    }
  }
  if (!placed_) fail(true, GetLastError());
}

}  // namespace Lumo::Sign

#endif  // _WIN32

// The trace's thread numbers and output on Windows.
//
// Standard error is written as it is: Windows has no way to write a pipe or
// console handle without waiting that would not change the handle for the
// whole program (PIPE_NOWAIT is a state of the pipe, not of a write).
#include <windows.h>

#include <cstdio>

#include "base/error_text_win32.h"
#include "trace.h"

unsigned long TraceThreadId() {
  return GetCurrentThreadId();
}

namespace {

HANDLE standardError() {
  return GetStdHandle(STD_ERROR_HANDLE);
}

HANDLE openedStandardError = nullptr;  // what standard error was when it was opened

// A security descriptor that lets the calling user alone at a new file: the
// trace holds controller data. False where the token cannot be read; the
// file then gets the folder's inherited rights.
struct OwnerOnly {
  SECURITY_DESCRIPTOR descriptor;
  alignas(8) unsigned char acl[256];
  alignas(8) unsigned char user[128];
  SECURITY_ATTRIBUTES attributes;

  bool Make() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD length = 0;
    const bool got = GetTokenInformation(token, TokenUser, user, sizeof user, &length) != 0;
    CloseHandle(token);
    if (!got) return false;
    PSID sid = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
    PACL list = reinterpret_cast<PACL>(acl);
    if (!InitializeAcl(list, sizeof acl, ACL_REVISION) ||
        !AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE))
      return false;
    attributes = {sizeof attributes, &descriptor, FALSE};
    return true;
  }
};

}  // namespace

intptr_t TraceOpenStandardError(char *why, size_t size) {
  HANDLE h = standardError();
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    std::snprintf(why, size, "the program has no standard error");
    return -1;
  }
  openedStandardError = h;
  return reinterpret_cast<intptr_t>(h);
}

bool TraceStandardErrorMoved() {
  return standardError() != openedStandardError;
}

// FILE_APPEND_DATA: every write lands at the end, also beside other writers.
// A symbolic link or junction is not followed: it is opened as itself and
// refused.
intptr_t TraceOpenFile(const char *path, char *why, size_t size) {
  OwnerOnly owner;
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         owner.Make() ? &owner.attributes : nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    WindowsErrorText(GetLastError(), why, size);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    std::snprintf(why, size, "it is a symbolic link, which the trace does not follow");
    return -1;
  }
  return reinterpret_cast<intptr_t>(h);
}

size_t TraceWriteOutput(intptr_t output, const char *text, size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(output);
  size_t written = 0;
  while (written < size) {
    DWORD put = 0;
    if (!WriteFile(h, text + written, static_cast<DWORD>(size - written), &put, nullptr) || put == 0) break;
    written += put;
  }
  return written;
}

void TraceCloseOutput(intptr_t output, bool isStandardError) {
  if (!isStandardError) CloseHandle(reinterpret_cast<HANDLE>(output));  // standard error is the program's
}

// Helpers of the Windows test programs: the DLL beside them, and the COM
// ports that Wine maps to pseudo-terminals.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace comline {

// The veldrv.dll in the test program's own folder.
inline std::string DllBesideProgram() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string self(path, n);
  return self.substr(0, self.find_last_of("\\/") + 1) + "veldrv.dll";
}

inline bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Wine on a pseudo-terminal refuses (error 87) a SetCommState that would
// only re-apply 7E1 or 8O1 to a line that has it already (a pseudo-terminal
// keeps 8 data bits and no parity whatever is asked). Before a port is opened
// afresh, the test moves the line to other settings so that the library's
// open changes something. Real ports need nothing of the kind.
inline void ResetLine(int com) {
  if (!UnderWine()) return;
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", com);
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(h, &dcb)) {
    dcb.BaudRate = 4800;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(h, &dcb);
  }
  CloseHandle(h);
}

}  // namespace comline

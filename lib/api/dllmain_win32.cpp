// Process attach and detach on Windows. The tables are readied when the DLL
// is mapped into the process and torn down only when it is unmapped: thread
// notifications are ignored, because a thread that was already running when
// the DLL was loaded detaches without ever having attached, and counting it
// would tear the library down under its other users.
#include <windows.h>

#include "handles.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    LibraryAttach();
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // FreeLibrary: close every handle and port. When the process is ending
    // (reserved not null) its other threads are already gone, possibly in
    // the middle of a transfer with a lock held that nobody will release;
    // waiting for it would hang the exit, and the system closes the devices.
    LibraryDetach();
  }
  return TRUE;
}

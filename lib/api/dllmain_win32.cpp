// Process attach and detach on Windows. The tables are readied when the DLL
// is mapped into the process and torn down only when it is unmapped: thread
// notifications are ignored, because a thread that was already running when
// the DLL was loaded detaches without ever having attached, and counting it
// would tear the library down under its other users.
#include <windows.h>

#include "handles.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH)
    LibraryAttach();
  else if (reason == DLL_PROCESS_DETACH)
    LibraryDetach();
  return TRUE;
}

// Links veldrv.dll through its import library, as host programs do, and
// checks that the imports are the functions the DLL exports by ordinal.
#include <windows.h>

#include <cstdio>

#include "veldrv.h"

using Fn = void (*)();

template <class F>
Fn AsFn(F f) {
  return reinterpret_cast<Fn>(f);
}

int main() {
  HMODULE dll = GetModuleHandleA("veldrv.dll");
  if (!dll) {
    std::printf("veldrv.dll is not loaded\nRESULT passed=0 failed=1 skipped=0\n");
    return 1;
  }
  // Ordinals 1..6 follow the alphabetical order of the six names, then 7 and 8.
  const Fn imported[8] = {AsFn(&VelClose), AsFn(&VelOpen), AsFn(&VelRdB),    AsFn(&VelRdW),
                          AsFn(&VelWrB),   AsFn(&VelWrW),  AsFn(&VelReason), AsFn(&VelStatusText)};
  int failed = 0;
  for (int n = 1; n <= 8; n++) {
    if (AsFn(GetProcAddress(dll, MAKEINTRESOURCEA(n))) != imported[n - 1]) {
      std::printf("  import %d is not ordinal %d\n", n - 1, n);
      failed = 1;
    }
  }
  // A call through the import library reaches the DLL.
  if (VelClose(-1) != VEL_BAD_HANDLE) {
    std::printf("  VelClose(-1) != VEL_BAD_HANDLE\n");
    failed = 1;
  }
  std::printf("[%s] Import.LibraryMatchesOrdinals\n", failed ? "  FAILED  " : "       OK ");
  std::printf("RESULT passed=%d failed=%d skipped=0\n", 1 - failed, failed);
  return failed;
}

// Process attach and detach on POSIX: the loader runs these when the library
// is loaded and when it is unloaded (dlclose or process exit).
#include "handles.h"

__attribute__((constructor)) static void VeldrvLoad() {
  LibraryAttach();
}

__attribute__((destructor)) static void VeldrvUnload() {
  LibraryDetach();
}

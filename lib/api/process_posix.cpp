// The library in the life of a POSIX process: the loader runs the
// constructor when the library is loaded and the destructor when it is
// unloaded (dlclose or process exit); a forked child starts with no handles.
#include <pthread.h>

#include "handles.h"

__attribute__((constructor)) static void VeldrvLoad() {
  LibraryAttach();
  pthread_atfork(nullptr, nullptr, LibraryForkChild);
}

__attribute__((destructor)) static void VeldrvUnload() {
  LibraryDetach();
}

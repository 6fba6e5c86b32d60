#include <pthread.h>

#include "handles.h"

// No cancellation point inside a call acts: a cancel request waits for the
// next one after the call. Unwinding out of the middle of a call would leave
// a frame half sent and its locks held.
CallScope::CallScope() {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &saved_);
}

CallScope::~CallScope() {
  int ignored;
  pthread_setcancelstate(saved_, &ignored);
}

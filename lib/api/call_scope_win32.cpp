#include "handles.h"

// Windows has no thread cancellation that runs code in the thread: nothing
// to hold back.
CallScope::CallScope() : saved_(0) {}

CallScope::~CallScope() {}

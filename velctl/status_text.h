// The library's status codes in English words.
#pragma once

// "time-out: the controller did not answer within 990 ms" for -1: a short
// name, a colon, and what it means.
const char *StatusText(int status);

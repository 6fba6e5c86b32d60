// German words for the library's status codes, shared by the programs. The
// English words are the library's own (VelStatusText in veldrv.h), so they
// are kept in one place and not repeated here.
//
// Texts are bytes of code page 850 (velcon's console texts); a program that
// shows them on a UTF-8 terminal converts them.
#pragma once

namespace status_texts {

// What velcon's error frame says for a code: its words for -99, -10, -6, -5,
// -2 and -1, and "Unerwarteter Fehler" for every other code (-3 and -4
// included).
const char *ConsoleText(int code);

// One German sentence for every status code of veldrv.h, for messages that
// name the code's meaning (velcon's lines on standard error, the Python
// binding's VeldrvError.german). The codes velcon's frame knows keep its
// words; "Unerwarteter Fehler" for a number that is no status code.
const char *GermanText(int code);

}  // namespace status_texts

// Console input and output of velcon. Output is formatted, converted for the
// terminal's character set and flushed at once, so every prompt is on the
// screen before the program waits. Input goes through the buffer of standard
// input: a line typed before Enter is consumed character by character.
#pragma once

#include <string_view>

// Chooses the output encoding from the environment; call once at start-up.
void ConsoleStart();

// printf-style output of a text in code page 850.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The same on standard error, for notes beside the screen's texts.
void SayError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Bytes on standard error as they are: a user's argument or the library's
// reason, which are in the system's character set already.
void SayErrorExact(std::string_view bytes);

// The next character of standard input, or EOF at its end.
int ReadKey();

// Prints prompt, then reads an unsigned decimal number: leading white space
// is skipped and the character after the digits stays unread. The number is
// kept as typed (a count of 70000 is 70000, not its low 16 bits); one too
// large for 64 bits reads as the largest. A non-numeric entry discards the
// rest of its line and asks again. Returns false at the end of input.
bool AskNumber(const char *prompt, unsigned long long *value);

// Ends the line the output stopped in, if it did (before the program ends).
void EndLastLine();

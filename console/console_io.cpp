#include "console_io.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "codeset.h"
#include "cp850.h"

namespace {

bool utf8Console = false;
char lastWritten = '\n';

}  // namespace

void ConsoleStart() {
  utf8Console = ConsoleWantsUtf8();
}

namespace {

// The formatted text, converted for the terminal.
std::string Format(const char *format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
  }
  va_end(again);
  return utf8Console ? Cp850ToUtf8(text) : text;
}

}  // namespace

void Say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (!text.empty()) lastWritten = text.back();
}

void SayError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  SayErrorExact(text);
}

void SayErrorExact(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

int ReadKey() {
  return std::getchar();
}

void EndLastLine() {
  // A prompt ends in a blank or "\r"; "\r" waits on a line of its own.
  if (lastWritten != '\n') Say("\n");
}

bool AskNumber(const char *prompt, unsigned long long *value) {
  for (;;) {
    Say("%s", prompt);
    int scanned = std::scanf("%llu", value);
    if (scanned == 1) return true;
    if (scanned == EOF) return false;
    int c;
    do c = std::getchar();
    while (c != '\n' && c != EOF);
    if (c == EOF) return false;
  }
}

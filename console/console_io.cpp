#include "console_io.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "codeset.h"
#include "cp850.h"

namespace {

bool utf8Console = false;

}  // namespace

void ConsoleStart() {
  utf8Console = ConsoleWantsUtf8();
}

void Say(const char *format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
  }
  va_end(again);
  if (utf8Console) text = Cp850ToUtf8(text);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int ReadKey() {
  return std::getchar();
}

bool AskNumber(const char *prompt, unsigned *value) {
  for (;;) {
    Say("%s", prompt);
    int scanned = std::scanf("%u", value);
    if (scanned == 1) return true;
    if (scanned == EOF) return false;
    int c;
    do c = std::getchar();
    while (c != '\n' && c != EOF);
    if (c == EOF) return false;
  }
}

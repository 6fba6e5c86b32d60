#include "error_display.h"

#include <cstdio>

#include "console_io.h"
#include "status_texts.h"

bool ShowError(int code) {
  // "\a" rings the bell.
  Say("\n*************************\n\aEs ist ein Fehler aufgetreten: Nr: %d\n "
      "%s\n\n**************************\n",
      code, status_texts::ConsoleText(code));
  return ReadKey() != EOF;
}

#include "error_display.h"

#include <cstdio>

#include "console_io.h"

const char *ErrorText(int code) {
  switch (code) {
  case -99:
    return "Referenznummer ist ungueltig";
  case -10:
    return "Datentyp-Kennung falsch";
  case -6:
    return "falsches Zeichen erhalten, \x9A"
           "bertragungsfehler";
  case -5:
    return "allgemeiner Fehler";
  case -2:
    return "keine Resourcen mehr frei";
  case -1:
    return "Zeitueberlauf";
  default:
    return "Unerwarteter Fehler";
  }
}

bool ShowError(int code) {
  // "\a" rings the bell.
  Say("\n*************************\n\aEs ist ein Fehler aufgetreten: Nr: %d\n "
      "%s\n\n**************************\n",
      code, ErrorText(code));
  return ReadKey() != EOF;
}

#include "arguments.h"

#include <cstring>

#include "console_io.h"

namespace {

// ASCII comparison without regard to case, independent of the locale.
bool SameWord(const char *argument, const char *word) {
  for (;; ++argument, ++word) {
    char a = *argument, w = *word;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (a != w) return false;
    if (a == '\0') return true;
  }
}

}  // namespace

bool WantsHelp(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

bool WantsVersion(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) return true;
  }
  return false;
}

Choice EvaluateArguments(int argc, char **argv) {
  Choice choice;
  for (int i = 1; i < argc; ++i) {
    if (SameWord(argv[i], "COM1")) {
      choice.port = 0;
    } else if (SameWord(argv[i], "COM2")) {
      choice.port = 1;
    } else if (SameWord(argv[i], "FX")) {
      choice.fx = 1;
      Say("Verwende  FX-Steuerung\n");
    } else if (SameWord(argv[i], "A")) {
      choice.fx = 0;
      Say("Verwende  A-Steuerung\n");
    } else {
      // Without a word the program would talk to COM1 of the family chosen.
      SayError("velcon: Argument '");
      SayErrorExact(argv[i]);
      SayError(
          "' wird ignoriert (velcon kennt COM1, COM2, FX und A; ein anderes Ger\x84t "
          "wird mit VELDRV_COM1 zu COM1).\n");
    }
  }
  return choice;
}

void ShowUsage() {
  Say("Aufruf: velcon [COM1|COM2] [FX|A]\n"
      "  COM1, COM2  Schnittstelle (Vorgabe: COM1)\n"
      "  FX, A       FX-Steuerung oder A-Steuerung (Vorgabe: A)\n"
      "Gro\xE1- und Kleinschreibung sind gleich, die letzte Angabe gilt; andere\n"
      "Argumente werden mit einem Hinweis auf stderr \x81"
      "bergangen.\n"
      "Danach w\x84hlt ein Men\x81 Lese- und Schreibtests; 0 beendet. Zahlen werden\n"
      "dezimal eingegeben, gelesene Werte hexadezimal ohne 0x angezeigt.\n"
      "\n"
      "Welches Ger\x84t COMn ist:\n"
      "  VELDRV_COMn        Ger\x84tedatei, tcp://HOST:PORT oder rfc2217://HOST:PORT\n"
      "                     (Vorrang)\n"
      "  VELDRV_DEVICE_DIR  Ordner mit den Verweisen COM1, COM2\n"
      "  sonst              unter Linux /dev/ttyS0 und /dev/ttyS1, unter Windows\n"
      "                     die Schnittstellen COM1 und COM2\n"
      "L\x84sst sich COMn nicht \x94"
      "ffnen, steht der Grund auf stderr.\n"
      "\n"
      "Beispiel, ein USB-Adapter als COM1 an einer FX-Steuerung:\n"
      "  VELDRV_COM1=/dev/ttyUSB0 velcon COM1 FX\n");
}

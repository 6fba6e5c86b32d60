// velcon: German console test program of the VELDRV link library. Opens one
// link on COM1 or COM2 for an A-series or FX-series controller and runs the
// five test transfers of its menu until '0' or the end of input. Its screen
// texts are fixed; notes for the user (an ignored argument, why the port did
// not open) go to standard error.
#include <cstdio>
#include <cstdlib>

#include "arguments.h"
#include "console_io.h"
#include "menu_items.h"
#include "program.h"
#include "status_texts.h"
#include "veldrv.h"

namespace {

const char kMenu[] =
    "\n****************\n1 = lese Merker\n2 = lese Eingang\n3 = schreibe Ausgang\n"
    "4 = Lese D-Registerworte\n5 = Schreibe D-Register Worte\n0 = Ende\nBitte w\x84hlen .....\n\n";

// Runs the item for a menu character; other characters do nothing.
ItemEnd RunItem(int handle, int choice) {
  switch (choice) {
  case '1':
    return ReadMarkers(handle);
  case '2':
    return ReadInputs(handle);
  case '3':
    return WriteOutputs(handle);
  case '4':
    return ReadRegisterWords(handle);
  case '5':
    return WriteRegisterWords(handle);
  default:
    return ItemEnd::kBackToMenu;
  }
}

// The screen says only the code: standard error gets a German sentence with
// the library's reason, which names the device it tried.
void ExplainFailedOpen(int com, int code, const char *reason) {
  SayError(
      "velcon: COM%d konnte nicht ge\x94"
      "ffnet werden (Fehler %d: %s)",
      com, code, status_texts::GermanText(code));
  if (reason) {
    SayError(". Grund: ");
    SayErrorExact(reason);
    SayErrorExact("\n");
  } else {
    SayError(".\n");
  }
}

}  // namespace

int main(int argc, char **argv) {
  ProgramStart();
  ConsoleStart();
  if (WantsHelp(argc, argv)) {
    ShowUsage();
    return EXIT_SUCCESS;
  }
  if (WantsVersion(argc, argv)) {
    std::printf("velcon %s\n", ProgramVersion());
    return EXIT_SUCCESS;
  }
  Choice choice = EvaluateArguments(argc, argv);
  int com = choice.port + 1;
  Say("Velmora Demo Version 1.00 an COM%d, \n", com);
  Say("wollen Sie andere COM dann aufrufen: \n'VELCON COMx Fx' f\x81r Fx-Steuerung\n");
  Say("  'VELCON COMx A' f\x81r A-Steuerung\n");
  Say("AG-Schnittstelle COM%d wird ge\x94"
      "ffnet.........\n",
      com);

  int handle = VelOpen(choice.port, choice.fx);
  if (handle < 0) {
    char reason[256];
    // The reason of this thread's failed open, taken before anything else.
    const bool known = VelReason(-1, reason, sizeof reason) == handle && reason[0] != '\0';
    Say("Fehler bei 'VelOpen:' %d\n", handle);
    ExplainFailedOpen(com, handle, known ? reason : nullptr);
    return EXIT_FAILURE;
  }
  for (;;) {
    Say("%s", kMenu);
    int c = ReadKey();
    // The end of input ends the program as '0' does.
    if (c == '0') break;
    if (c == EOF || RunItem(handle, c) == ItemEnd::kInputEnded) {
      EndLastLine();
      break;
    }
  }
  // The exit status is the result of closing the handle (0).
  return VelClose(handle);
}

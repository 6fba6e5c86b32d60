// velcon's texts as the bytes the tests expect, in code page 850 (the C
// locale) or UTF-8, written out here independently of the program.
#pragma once

#include <string>

namespace texts {

inline std::string Banner(int com, bool utf8) {
  const std::string fuer = utf8 ? "f\xC3\xBCr" : "f\x81r";
  const std::string geoeffnet = utf8 ? "ge\xC3\xB6"
                                       "ffnet"
                                     : "ge\x94"
                                       "ffnet";
  const std::string c = std::to_string(com);
  return "Velmora Demo Version 1.00 an COM" + c + ", \n" +
         "wollen Sie andere COM dann aufrufen: \n'VELCON COMx Fx' " + fuer + " Fx-Steuerung\n" +
         "  'VELCON COMx A' " + fuer + " A-Steuerung\n" + "AG-Schnittstelle COM" + c + " wird " + geoeffnet +
         ".........\n";
}

inline std::string Menu(bool utf8) {
  return std::string(
             "\n****************\n1 = lese Merker\n2 = lese Eingang\n3 = schreibe Ausgang\n"
             "4 = Lese D-Registerworte\n5 = Schreibe D-Register Worte\n0 = Ende\nBitte w") +
         (utf8 ? "\xC3\xA4" : "\x84") + "hlen .....\n\n";
}

inline std::string Error(int code, const std::string &words) {
  return "\n*************************\n\aEs ist ein Fehler aufgetreten: Nr: " + std::to_string(code) + "\n " +
         words + "\n\n**************************\n";
}

const char kPressKey[] = "Weiter mit bel. Taste...\r";
const char kFxLine[] = "Verwende  FX-Steuerung\n";
const char kALine[] = "Verwende  A-Steuerung\n";

}  // namespace texts

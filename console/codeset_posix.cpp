#include <langinfo.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codeset.h"

namespace {

// True for a locale name whose codeset is UTF-8 ("de_DE.UTF-8", "C.utf8").
bool NamesUtf8(const char *name) {
  const char *dot = std::strchr(name, '.');
  if (!dot) return false;
  std::string codeset(dot + 1, std::strcspn(dot + 1, "@"));
  for (char &c : codeset) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return codeset == "utf-8" || codeset == "utf8";
}

}  // namespace

bool ConsoleWantsUtf8() {
  // Only the character type follows the environment: number scanning and
  // printing keep the C locale's formats.
  if (std::setlocale(LC_CTYPE, "")) {
    const char *codeset = nl_langinfo(CODESET);
    return codeset && std::strcmp(codeset, "UTF-8") == 0;
  }
  // A locale that is not installed: its name still tells what the terminal
  // shows. The first of LC_ALL, LC_CTYPE and LANG that is set decides.
  for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char *name = std::getenv(variable);
    if (name && *name) return NamesUtf8(name);
  }
  return false;
}

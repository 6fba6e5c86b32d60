#include <langinfo.h>

#include <clocale>
#include <cstring>

#include "codeset.h"

bool ConsoleWantsUtf8() {
  // Only the character type follows the environment: number scanning and
  // printing keep the C locale's formats.
  if (!std::setlocale(LC_CTYPE, "")) return false;
  const char *codeset = nl_langinfo(CODESET);
  return codeset && std::strcmp(codeset, "UTF-8") == 0;
}

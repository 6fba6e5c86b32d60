#include "status_texts.h"

namespace status_texts {

namespace {

struct GermanStatus {
  int code;
  const char *console;  // velcon's frame; nullptr: "Unerwarteter Fehler"
  const char *text;     // one for every code
};

// python/tests/test_errors.py compares this table with the binding's.
constexpr GermanStatus kTexts[] = {
    {0, nullptr, "kein Fehler"},
    {-1, "Zeitueberlauf", "Zeitueberlauf"},
    {-2, "keine Resourcen mehr frei", "keine Resourcen mehr frei"},
    {-3, nullptr,
     "Pr\x81"
     "fsumme der Antwort falsch oder Schlie\xE1"
     "en der Verbindung fehlgeschlagen"},
    {-4, nullptr,
     "Schnittstelle ung\x81ltig oder l\x84sst sich nicht \x94"
     "ffnen"},
    {-5, "allgemeiner Fehler", "allgemeiner Fehler"},
    {-6,
     "falsches Zeichen erhalten, \x9A"
     "bertragungsfehler",
     "falsches Zeichen erhalten, \x9A"
     "bertragungsfehler"},
    {-10, "Datentyp-Kennung falsch", "Datentyp-Kennung falsch"},
    {-99, "Referenznummer ist ungueltig", "Referenznummer ist ungueltig"},
};

constexpr char kOther[] = "Unerwarteter Fehler";

const GermanStatus *Find(int code) {
  for (const GermanStatus &entry : kTexts)
    if (entry.code == code) return &entry;
  return nullptr;
}

}  // namespace

const char *ConsoleText(int code) {
  const GermanStatus *entry = Find(code);
  return entry && entry->console ? entry->console : kOther;
}

const char *GermanText(int code) {
  const GermanStatus *entry = Find(code);
  return entry ? entry->text : kOther;
}

}  // namespace status_texts

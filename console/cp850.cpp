#include "cp850.h"

namespace {

struct Letter {
  unsigned char cp850;
  const char *utf8;
};

// The letters the German texts use.
constexpr Letter kLetters[] = {
    {0x81, "\xC3\xBC"},  // ü
    {0x84, "\xC3\xA4"},  // ä
    {0x8E, "\xC3\x84"},  // Ä
    {0x94, "\xC3\xB6"},  // ö
    {0x99, "\xC3\x96"},  // Ö
    {0x9A, "\xC3\x9C"},  // Ü
    {0xE1, "\xC3\x9F"},  // ß
};

}  // namespace

std::string Cp850ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    const char *replacement = nullptr;
    for (const Letter &letter : kLetters) {
      if (static_cast<unsigned char>(c) == letter.cp850) replacement = letter.utf8;
    }
    if (replacement) {
      out += replacement;
    } else {
      out += c;
    }
  }
  return out;
}

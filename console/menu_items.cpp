#include "menu_items.h"

#include <cstdint>
#include <cstdio>

#include "console_io.h"
#include "error_display.h"
#include "veldrv.h"

namespace {

constexpr unsigned kBufferBytes = 1024;
constexpr unsigned kBufferWords = 1024;

unsigned char byteBuffer[kBufferBytes];
uint16_t wordBuffer[kBufferWords];

const char kPressKey[] = "Weiter mit bel. Taste...\r";

// Start numbers and values go to the library by their low 16 bits.
unsigned Low16(unsigned long long value) {
  return static_cast<unsigned>(value & 0xFFFFu);
}

// A count larger than the buffer, as typed, is refused before anything is
// sent; counts that fit are below 65536 and need no cutting.
bool CountFits(unsigned long long count, unsigned limit) {
  if (count <= limit) return true;
  Say("Anzahl %llu ist zu gro\xE1, h\x94"
      "chstens %u m\x94glich. Nichts gesendet.\n",
      count, limit);
  return false;
}

// Read markers and read inputs differ only in texts and operand letter.
ItemEnd ReadBytes(int handle, const char *title, int letter, const char *lineFormat) {
  unsigned long long start, count;
  Say("%s", title);
  if (!AskNumber("StartNr: ", &start)) return ItemEnd::kInputEnded;
  if (!AskNumber("Anzahl der Bytes\n", &count)) return ItemEnd::kInputEnded;
  if (!CountFits(count, kBufferBytes)) return ItemEnd::kBackToMenu;
  int result = VelRdB(handle, letter, static_cast<int>(Low16(start)), static_cast<int>(count), byteBuffer);
  if (result != 0) return ShowError(result) ? ItemEnd::kBackToMenu : ItemEnd::kInputEnded;
  for (unsigned i = 0; i < count; ++i) {
    Say(lineFormat, i, static_cast<unsigned>(byteBuffer[i]));
    Say("%s", kPressKey);
    if (ReadKey() == EOF) return ItemEnd::kInputEnded;
  }
  return ItemEnd::kBackToMenu;
}

// Lists count words of the word buffer as registers first, first + 1, ...
ItemEnd ListWords(unsigned first, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    // "%#3u": the '#' flag leaves decimal output unchanged, so it is written "%3u".
    Say("DW %3u = %04x               \n", first + i, static_cast<unsigned>(wordBuffer[i]));
    Say("%s", kPressKey);
    if (ReadKey() == EOF) return ItemEnd::kInputEnded;
  }
  return ItemEnd::kBackToMenu;
}

}  // namespace

ItemEnd ReadMarkers(int handle) {
  return ReadBytes(handle, "Lese MerkerByte\n ", 'M', "MB %3u = %04x \n");
}

ItemEnd ReadInputs(int handle) {
  // The listed number is the index from 0, not the input byte number.
  return ReadBytes(handle, "Lese Eingangsbyte\n ", 'E', "EB %3u = %04x \n");
}

ItemEnd WriteOutputs(int handle) {
  unsigned long long start64, value, count;
  Say("\nSchreibe Ausgangsbyte: \n");
  if (!AskNumber("StartNr: ", &start64)) return ItemEnd::kInputEnded;
  if (!AskNumber("Schreibwert: ", &value)) return ItemEnd::kInputEnded;
  if (!AskNumber("Anzahl: ", &count)) return ItemEnd::kInputEnded;
  const unsigned start = Low16(start64);
  if (!CountFits(count, kBufferBytes)) return ItemEnd::kBackToMenu;
  for (unsigned i = 0; i < count; ++i) byteBuffer[i] = static_cast<unsigned char>(value & 0xFFu);
  int result = VelWrB(handle, 'A', static_cast<int>(start), static_cast<int>(count), byteBuffer);
  if (result != 0) return ShowError(result) ? ItemEnd::kBackToMenu : ItemEnd::kInputEnded;
  Say("ab AB %u , %u Bytes geschrieben\n", start, static_cast<unsigned>(count));
  return ItemEnd::kBackToMenu;
}

ItemEnd ReadRegisterWords(int handle) {
  unsigned long long start64, count;
  Say("Lese DReg \n");
  if (!AskNumber("\nStart ab Wort: ", &start64)) return ItemEnd::kInputEnded;
  if (!AskNumber("\nAnzahl der Worte: ", &count)) return ItemEnd::kInputEnded;
  const unsigned start = Low16(start64);
  if (!CountFits(count, kBufferWords)) return ItemEnd::kBackToMenu;
  int result = VelRdW(handle, 'D', static_cast<int>(start), static_cast<int>(count), wordBuffer);
  if (result != 0) return ShowError(result) ? ItemEnd::kBackToMenu : ItemEnd::kInputEnded;
  return ListWords(start, static_cast<unsigned>(count));
}

ItemEnd WriteRegisterWords(int handle) {
  unsigned long long count, value;
  Say("Schreibe DReg ab DW 0\n");
  if (!AskNumber("\nAnzahl der Worte: ", &count)) return ItemEnd::kInputEnded;
  // The value is asked for before a count is refused, as in item 3, so that
  // it is not taken for a menu choice.
  if (!AskNumber("\nSchreibwert: ", &value)) return ItemEnd::kInputEnded;
  if (!CountFits(count, kBufferWords)) return ItemEnd::kBackToMenu;
  for (unsigned i = 0; i < count; ++i) wordBuffer[i] = static_cast<uint16_t>(value & 0xFFFFu);
  // Writing always starts at data register 0.
  int result = VelWrW(handle, 'D', 0, static_cast<int>(count), wordBuffer);
  if (result != 0) return ShowError(result) ? ItemEnd::kBackToMenu : ItemEnd::kInputEnded;
  return ListWords(0, static_cast<unsigned>(count));
}

#include "address.h"

#include <charconv>
#include <cstdio>

namespace {

struct AreaInfo {
  const char *letters;
  Area area;
  std::uint32_t fxBase;
  std::uint32_t aBase;
  bool writable;
  const char *words;
};

// As the library maps its operand letters.
const AreaInfo kAreas[] = {
    {"D", Area::Data, 0x1000, 0x8800, true, "data registers"},
    {"EIX", Area::Inputs, 0x0080, 0x8000, false, "inputs"},
    {"AOY", Area::Outputs, 0x00A0, 0x8200, true, "outputs"},
    {"M", Area::Markers, 0x0100, 0x8400, true, "markers"},
    {"S", Area::Raw, 0, 0, true, "controller memory"},
};

const AreaInfo &Info(Area area) {
  for (const AreaInfo &info : kAreas)
    if (info.area == area) return info;
  return kAreas[0];
}

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::optional<std::uint64_t> ParseCount(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

std::optional<Address> ParseAddress(std::string_view text, std::string *error) {
  std::string shown(text);
  if (text.empty()) {
    *error = "an address is missing";
    return std::nullopt;
  }
  char letter = Upper(text[0]);
  const AreaInfo *found = nullptr;
  for (const AreaInfo &info : kAreas) {
    for (const char *l = info.letters; *l; ++l)
      if (*l == letter) found = &info;
  }
  if (!found) {
    *error = "bad address '" + shown + "': the area letter is one of D, X (E, I), Y (A, O), M or S";
    return std::nullopt;
  }
  auto number = ParseCount(text.substr(1), 0x7FFFFFFF);
  if (!number) {
    *error = "bad address '" + shown + "': " + std::string(1, letter) +
             " must be followed by a number, decimal or 0x hex";
    return std::nullopt;
  }
  return Address{found->area, letter, static_cast<std::uint32_t>(*number)};
}

std::uint32_t AreaBase(Area area, bool fx) {
  return fx ? Info(area).fxBase : Info(area).aBase;
}

bool AreaWritable(Area area) {
  return Info(area).writable;
}

const char *AreaWords(Area area) {
  return Info(area).words;
}

std::string OperandName(const Address &first, std::uint64_t number) {
  char name[32];
  if (first.area == Area::Raw)
    std::snprintf(name, sizeof name, "S0x%04llX", static_cast<unsigned long long>(number));
  else
    std::snprintf(name, sizeof name, "%c%llu", first.letter, static_cast<unsigned long long>(number));
  return name;
}

#include "fault.h"

#include <cstdio>

namespace velsim {

namespace {

struct Named {
  const char *name;
  FaultKind kind;
  bool fx;
  bool a;
};

// Faults without parameters.
constexpr Named kNamed[] = {
    {"silent", FaultKind::Silent, true, true},
    {"nak-to-enq", FaultKind::NakToEnq, true, false},
    {"lowercase-hex", FaultKind::LowercaseHex, true, false},
    {"pair-missing", FaultKind::PairMissing, true, false},
    {"pair-extra", FaultKind::PairExtra, true, false},
    {"wrong-checksum", FaultKind::WrongChecksum, true, true},
    {"write-nak", FaultKind::WriteNak, true, true},
    {"wrong-length", FaultKind::WrongLength, false, true},
    {"silent-after-handshake", FaultKind::SilentAfterHandshake, true, true},
};

std::string hexByte(std::uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

// Noise kinds and their names (without the "handshake-" prefix).
struct NoiseName {
  const char *name;
  FaultKind kind;
};
constexpr NoiseName kNoise[] = {
    {"garbage-before", FaultKind::GarbageBefore},
    {"garbage-after", FaultKind::GarbageAfter},
    {"drop", FaultKind::DropByte},
    {"duplicate", FaultKind::DuplicateByte},
    {"delay", FaultKind::DelayByte},
};

// "4102FF": at least one byte, two hex digits each.
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * 256) return std::nullopt;
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

}  // namespace

bool Fault::isNoise() const {
  for (const NoiseName &n : kNoise) {
    if (n.kind == kind) return true;
  }
  return false;
}

std::string Fault::name() const {
  if (isNoise()) {
    std::string out = handshake ? "handshake-" : "";
    for (const NoiseName &n : kNoise) {
      if (n.kind == kind) out += n.name;
    }
    out += ":";
    if (kind == FaultKind::GarbageBefore || kind == FaultKind::GarbageAfter) {
      char buf[4];
      for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
      }
    } else {
      out += std::to_string(index);
      if (kind == FaultKind::DelayByte) {
        out += '=';
        out += std::to_string(ms);
      }
    }
    return out;
  }
  switch (kind) {
  case FaultKind::Truncate:
    return "truncate:" + std::to_string(index);
  case FaultKind::Replace:
    return "replace:" + std::to_string(index) + "=" + hexByte(value);
  case FaultKind::HandshakeTruncate:
    return "handshake-truncate:" + std::to_string(index);
  case FaultKind::HandshakeReplace:
    return "handshake-replace:" + std::to_string(index) + "=" + hexByte(value);
  default:
    break;
  }
  for (const Named &n : kNamed) {
    if (n.kind == kind) return n.name;
  }
  return "?";
}

bool Fault::appliesTo(Family family) const {
  for (const Named &n : kNamed) {
    if (n.kind == kind) return family == Family::Fx ? n.fx : n.a;
  }
  return true;  // the generic byte faults apply to both families
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    v = v * base + d;
  }
  return v;
}

std::optional<ScheduledFault> parseFault(std::string_view text, std::string *error) {
  auto fail = [&](std::string msg) -> std::optional<ScheduledFault> {
    if (error) *error = std::move(msg);
    return std::nullopt;
  };
  ScheduledFault sf;
  std::string_view rest = text;
  if (auto at = rest.rfind('@'); at != std::string_view::npos) {
    auto k = parseNumber(rest.substr(at + 1));
    if (!k || *k == 0) return fail("bad frame number in fault '" + std::string(text) + "' (want @K, K >= 1)");
    sf.when = FaultWhen::OnFrame;
    sf.frame = *k;
    rest = rest.substr(0, at);
  }
  for (const Named &n : kNamed) {
    if (rest == n.name) {
      sf.fault.kind = n.kind;
      return sf;
    }
  }
  auto colon = rest.find(':');
  if (colon == std::string_view::npos) return fail("unknown fault '" + std::string(rest) + "'");
  std::string_view head = rest.substr(0, colon);
  std::string_view args = rest.substr(colon + 1);
  {
    std::string_view base = head;
    const bool onHandshake = base.starts_with("handshake-");
    if (onHandshake) base.remove_prefix(10);
    for (const NoiseName &n : kNoise) {
      if (base != n.name) continue;
      sf.fault.kind = n.kind;
      sf.fault.handshake = onHandshake;
      if (n.kind == FaultKind::GarbageBefore || n.kind == FaultKind::GarbageAfter) {
        auto b = parseHexBytes(args);
        if (!b) return fail("fault '" + std::string(rest) + "' needs hex bytes, e.g. 4102FF");
        sf.fault.bytes = std::move(*b);
        return sf;
      }
      std::string_view indexText = args;
      if (n.kind == FaultKind::DelayByte) {
        auto eq = args.find('=');
        auto ms = eq == std::string_view::npos ? std::nullopt : parseNumber(args.substr(eq + 1));
        if (!ms || *ms > 600000)
          return fail("fault '" + std::string(rest) + "' needs I=MS (MS up to 600000)");
        sf.fault.ms = static_cast<std::uint32_t>(*ms);
        indexText = args.substr(0, eq);
      }
      auto index = parseNumber(indexText);
      if (!index || *index > 0xFFFF) return fail("bad byte index in fault '" + std::string(rest) + "'");
      sf.fault.index = static_cast<std::size_t>(*index);
      return sf;
    }
  }
  bool isTruncate = head == "truncate" || head == "handshake-truncate";
  bool isReplace = head == "replace" || head == "handshake-replace";
  if (!isTruncate && !isReplace) return fail("unknown fault '" + std::string(rest) + "'");
  std::string_view indexText = args;
  std::optional<std::uint64_t> value;
  if (isReplace) {
    auto eq = args.find('=');
    if (eq == std::string_view::npos) return fail("fault '" + std::string(head) + "' needs I=V");
    indexText = args.substr(0, eq);
    value = parseNumber(args.substr(eq + 1));
    if (!value || *value > 0xFF) return fail("bad byte value in fault '" + std::string(rest) + "'");
  }
  auto index = parseNumber(indexText);
  if (!index || *index > 0xFFFF) return fail("bad byte index in fault '" + std::string(rest) + "'");
  bool handshake = head.starts_with("handshake-");
  if (isTruncate) {
    sf.fault = handshake ? Fault::handshakeTruncate(*index) : Fault::truncate(*index);
  } else {
    auto v = static_cast<std::uint8_t>(*value);
    sf.fault = handshake ? Fault::handshakeReplace(*index, v) : Fault::replace(*index, v);
  }
  return sf;
}

const char *faultHelp() {
  return "  silent                  no answer at all in the exchange\n"
         "  nak-to-enq              FX: answer ENQ with NAK (15)\n"
         "  lowercase-hex           FX: read reply letters a-f in lowercase (data and checksum)\n"
         "  pair-missing            FX: read reply with one data pair too few\n"
         "  pair-extra              FX: read reply with one data pair too many\n"
         "  wrong-checksum          FX/A: read reply checksum + 1; A: write response 03 00 FF 04 07\n"
         "  write-nak               FX: NAK after a write frame; A: write response 15 00 FF 04 06\n"
         "                          (nothing is stored)\n"
         "  wrong-length            A: read response length n+4 (checksum over the bytes sent);\n"
         "                          write response 04 00 FF 04 06\n"
         "  silent-after-handshake  handshake answered (FX: ACK), the request is not answered\n"
         "  truncate:I              answer to the request cut after I bytes (bytes 0..I-1 sent)\n"
         "  replace:I=V             byte I of the answer to the request replaced by V\n"
         "  handshake-truncate:I    handshake answer cut after I bytes (FX: the ACK to ENQ;\n"
         "                          A: the two handshake reply bytes)\n"
         "  handshake-replace:I=V   byte I of the handshake answer replaced by V\n"
         "Line noise, on the answer to the request (with a handshake- prefix: on the handshake\n"
         "answer), after the faults above:\n"
         "  garbage-before:HEX      the bytes HEX (e.g. 4102FF) arrive ahead of the answer\n"
         "  garbage-after:HEX       the bytes HEX arrive after the answer\n"
         "  drop:I                  byte I of the answer is lost\n"
         "  duplicate:I             byte I of the answer arrives twice\n"
         "  delay:I=MS              byte I of what is sent (garbage included) and all after it\n"
         "                          arrive MS milliseconds late\n";
}

}  // namespace velsim

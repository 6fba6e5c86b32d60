#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace velgw {

namespace {

constexpr int kMaxDepth = 32;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> Document(std::string *error) {
    JsonValue v;
    Space();
    if (!Value(&v, 0) || (Space(), at_ != text_.size())) {
      if (error_.empty()) error_ = "unexpected text";
      *error = error_ + " at character " + std::to_string(at_ + 1);
      return std::nullopt;
    }
    return v;
  }

 private:
  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      at_++;
  }
  bool Fail(const char *what) {
    error_ = what;
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return Fail("unknown word");
    at_ += word.size();
    return true;
  }
  bool Value(JsonValue *v, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deep");
    const std::size_t start = at_;
    if (at_ >= text_.size()) return Fail("a value is missing");
    bool ok;
    switch (text_[at_]) {
    case '{':
      ok = Object(v, depth);
      break;
    case '[':
      ok = Array(v, depth);
      break;
    case '"':
      v->kind = JsonValue::Kind::String;
      ok = String(&v->text);
      break;
    case 't':
      v->kind = JsonValue::Kind::Bool;
      v->boolean = true;
      ok = Word("true");
      break;
    case 'f':
      v->kind = JsonValue::Kind::Bool;
      ok = Word("false");
      break;
    case 'n':
      ok = Word("null");
      break;
    default:
      ok = Number(v);
    }
    if (ok) v->raw = std::string(text_.substr(start, at_ - start));
    return ok;
  }
  bool Number(JsonValue *v) {
    const std::size_t start = at_;
    auto digits = [&] {
      std::size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') at_++;
      return at_ > from;
    };
    if (at_ < text_.size() && text_[at_] == '-') at_++;
    if (at_ < text_.size() && text_[at_] == '0') {
      at_++;
    } else if (!digits()) {
      return Fail("not a value");
    }
    if (at_ < text_.size() && text_[at_] == '.') {
      at_++;
      if (!digits()) return Fail("a digit must follow the decimal point");
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      at_++;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) at_++;
      if (!digits()) return Fail("a digit must follow the exponent");
    }
    v->kind = JsonValue::Kind::Number;
    v->number = std::strtod(std::string(text_.substr(start, at_ - start)).c_str(), nullptr);
    return true;
  }
  static void Utf8(unsigned code, std::string *out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  bool Hex4(unsigned *code) {
    if (at_ + 4 > text_.size()) return Fail("\\u needs four hex digits");
    *code = 0;
    for (int i = 0; i < 4; i++) {
      char c = text_[at_++];
      unsigned d = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                   : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                   : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                          : 16;
      if (d == 16) return Fail("\\u needs four hex digits");
      *code = *code * 16 + d;
    }
    return true;
  }
  bool String(std::string *out) {
    at_++;  // "
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at_ >= text_.size()) break;
      char e = text_[at_++];
      switch (e) {
      case '"':
      case '\\':
      case '/':
        out->push_back(e);
        break;
      case 'b':
        out->push_back('\b');
        break;
      case 'f':
        out->push_back('\f');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'u': {
        unsigned code;
        if (!Hex4(&code)) return false;
        if (code >= 0xD800 && code < 0xDC00 && text_.substr(at_, 2) == "\\u") {
          at_ += 2;
          unsigned low;
          if (!Hex4(&low)) return false;
          if (low >= 0xDC00 && low < 0xE000) code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        Utf8(code, out);
        break;
      }
      default:
        return Fail("an unknown escape in a string");
      }
    }
    return Fail("a string without its closing quote");
  }
  bool Array(JsonValue *v, int depth) {
    v->kind = JsonValue::Kind::Array;
    at_++;
    Space();
    if (at_ < text_.size() && text_[at_] == ']') {
      at_++;
      return true;
    }
    for (;;) {
      JsonValue item;
      Space();
      if (!Value(&item, depth + 1)) return false;
      v->items.push_back(std::move(item));
      Space();
      if (at_ < text_.size() && text_[at_] == ',') {
        at_++;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == ']') {
        at_++;
        return true;
      }
      return Fail("',' or ']' expected");
    }
  }
  bool Object(JsonValue *v, int depth) {
    v->kind = JsonValue::Kind::Object;
    at_++;
    Space();
    if (at_ < text_.size() && text_[at_] == '}') {
      at_++;
      return true;
    }
    for (;;) {
      Space();
      if (at_ >= text_.size() || text_[at_] != '"') return Fail("a member name in quotes expected");
      std::string name;
      if (!String(&name)) return false;
      Space();
      if (at_ >= text_.size() || text_[at_] != ':') return Fail("':' expected");
      at_++;
      Space();
      JsonValue member;
      if (!Value(&member, depth + 1)) return false;
      v->members.emplace_back(std::move(name), std::move(member));
      Space();
      if (at_ < text_.size() && text_[at_] == ',') {
        at_++;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == '}') {
        at_++;
        return true;
      }
      return Fail("',' or '}' expected");
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue *JsonValue::Member(std::string_view name) const {
  for (const auto &[n, v] : members)
    if (n == name) return &v;
  return nullptr;
}

std::optional<JsonValue> ParseJson(std::string_view text, std::string *error) {
  return Parser(text).Document(error);
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
        out += esc;
      } else {
        out.push_back(c);
      }
    }
  }
  return out + "\"";
}

std::string IsoTime(double unixSeconds) {
  const double whole = std::floor(unixSeconds);
  std::time_t t = static_cast<std::time_t>(whole);
  int ms = static_cast<int>((unixSeconds - whole) * 1000);
  if (ms > 999) ms = 999;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return text;
}

}  // namespace velgw

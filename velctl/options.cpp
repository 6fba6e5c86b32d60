#include "options.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "numbers.h"
#include "settings.h"

namespace {

enum class Key { Port, Device, Family, Type, Format, Output, Interval, Count, Trace, MaxFrame, Quiet };

struct OptionInfo {
  Key key;
  const char *longName;
  char shortName;  // 0: none
  bool takesValue;
  bool openSetting;  // how the port is opened: velctl's command line only, not a line of a run file
};

const OptionInfo kOptions[] = {
    {Key::Port, "port", 'p', true, true},        {Key::Device, "device", 'd', true, true},
    {Key::Family, "family", 'f', true, true},    {Key::Type, "type", 't', true, false},
    {Key::Format, "format", 0, true, false},     {Key::Output, "output", 'o', true, false},
    {Key::Interval, "interval", 0, true, false}, {Key::Count, "count", 0, true, false},
    {Key::Trace, "trace", 0, false, true},       {Key::MaxFrame, "max-frame", 0, true, true},
    {Key::Quiet, "quiet", 'q', false, false},
};

struct CommandInfo {
  Command command;
  const char *name;
};

const CommandInfo kCommands[] = {
    {Command::Read, "read"}, {Command::Write, "write"}, {Command::Poll, "poll"},   {Command::Dump, "dump"},
    {Command::Load, "load"}, {Command::Info, "info"},   {Command::Probe, "probe"}, {Command::Run, "run"},
};

constexpr const char *kCommandList = "read, write, poll, dump, load, info, probe or run";

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char &c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// "-5", "-.5", "-inf", "-nan" are values, and so is "-" (standard input).
bool IsValue(std::string_view arg) {
  if (arg.size() < 2 || arg[0] != '-') return true;
  if ((arg[1] >= '0' && arg[1] <= '9') || arg[1] == '.') return true;
  const std::string rest = Lower(arg.substr(1));
  return rest == "inf" || rest == "infinity" || rest == "nan";
}

// Options that only some commands take.
bool FitsCommand(Key key, Command command) {
  switch (key) {
  case Key::Output:
    return command == Command::Dump;
  case Key::Interval:
  case Key::Count:
    return command == Command::Poll;
  case Key::Type:
    return command == Command::Read || command == Command::Write || command == Command::Poll;
  case Key::Format:
    return command == Command::Read || command == Command::Poll || command == Command::Info ||
           command == Command::Probe || command == Command::Run;
  case Key::Family:
    return command != Command::Probe;
  default:
    return true;
  }
}

// Stores one option's value; false with *error set when the value is bad.
bool Apply(Key key, std::string_view value, Options *o, std::string *error) {
  std::string lower = Lower(value);
  switch (key) {
  case Key::Port: {
    auto n = lower.rfind("com", 0) == 0 ? ParseCount(std::string_view(lower).substr(3), 16) : std::nullopt;
    if (!n || *n == 0 || lower.size() > 5) {
      *error = "bad port '" + std::string(value) + "': COM1 to COM16";
      return false;
    }
    o->port = static_cast<int>(*n) - 1;
    return true;
  }
  case Key::Device:
    if (!CheckDevice(value, error)) return false;
    o->device = value;
    return true;
  case Key::Family:
    if (lower != "fx" && lower != "a") {
      *error = "bad family '" + std::string(value) + "': fx or a";
      return false;
    }
    o->fx = lower == "fx";
    o->familyGiven = true;
    return true;
  case Key::Type:
    o->type = ParseType(lower);
    if (!o->type) *error = "bad type '" + std::string(value) + "': u8, u16, i16, u32, i32, f32, hex or bits";
    return o->type.has_value();
  case Key::Format:
    if (lower == "text") {
      o->format = Format::Text;
    } else if (lower == "csv") {
      o->format = Format::Csv;
    } else if (lower == "json") {
      o->format = Format::Json;
    } else {
      *error = "bad format '" + std::string(value) + "': text, csv or json";
      return false;
    }
    return true;
  case Key::Output:
    o->output = std::string(value);
    if (value.empty()) *error = "the output file name is empty";
    return !value.empty();
  case Key::Interval: {
    double seconds = -1;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || !(seconds >= 0 && seconds <= 86400)) {
      *error = "bad interval '" + std::string(value) + "': seconds, 0 to 86400";
      return false;
    }
    o->interval = seconds;
    return true;
  }
  case Key::Count:
    o->samples = ParseCount(value, 1000000000);
    if (!o->samples || *o->samples == 0) {
      *error = "bad count '" + std::string(value) + "': a number of samples, at least 1";
      return false;
    }
    return true;
  case Key::MaxFrame: {
    auto n = ParseCount(value, 254);
    if (!n || *n == 0) {
      *error = "bad frame size '" + std::string(value) + "': 1 to 254 bytes";
      return false;
    }
    o->maxFrame = static_cast<int>(*n);
    return true;
  }
  case Key::Trace:
    o->trace = true;
    return true;
  case Key::Quiet:
    o->quiet = true;
    return true;
  }
  return false;
}

const OptionInfo *FindOption(std::string_view arg) {
  for (const OptionInfo &info : kOptions) {
    if (arg.size() == 2 && info.shortName && arg[1] == info.shortName) return &info;
    if (arg.substr(0, 2) == "--" && arg.substr(2) == info.longName) return &info;
  }
  return nullptr;
}

}  // namespace

Parsed ParseArguments(const std::vector<std::string> &args, Source source, Options *o, std::string *error) {
  const bool commandLine = source == Source::kCommandLine;
  for (const std::string &arg : args) {
    if (arg == "--") break;
    if (commandLine && (arg == "--help" || arg == "-h")) return Parsed::kHelp;
    if (commandLine && arg == "--version") return Parsed::kVersion;
  }
  std::vector<Key> given;
  bool commandSeen = false;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (optionsEnded || IsValue(arg)) {
      if (commandSeen) {
        o->operands.push_back(arg);
        continue;
      }
      if (commandLine && arg == "help") return Parsed::kHelp;  // velctl help: as --help
      for (const CommandInfo &c : kCommands) {
        if (arg == c.name) {
          o->command = c.command;
          o->commandName = c.name;
          commandSeen = true;
        }
      }
      if (!commandSeen) {
        *error = "unknown command '" + arg + "': " + kCommandList;
        return Parsed::kBadUsage;
      }
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string_view name(arg);
    std::optional<std::string_view> inlineValue;
    if (size_t eq = name.find('='); name.substr(0, 2) == "--" && eq != std::string_view::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const OptionInfo *info = FindOption(name);
    if (!info) {
      *error = "unknown option '" + arg + "'";
      return Parsed::kBadUsage;
    }
    if (!commandLine && info->openSetting) {
      *error = "option '" + std::string(name) +
               "' belongs on velctl's command line, before run: one open serves every line";
      return Parsed::kBadUsage;
    }
    std::string_view value;
    if (info->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        *error = "option '" + arg + "' needs a value";
        return Parsed::kBadUsage;
      }
    } else if (inlineValue) {
      *error = "option '" + std::string(name) + "' takes no value";
      return Parsed::kBadUsage;
    }
    if (!Apply(info->key, value, o, error)) return Parsed::kBadUsage;
    given.push_back(info->key);
  }
  if (!commandSeen) {
    *error = std::string("a command is missing: ") + kCommandList;
    return Parsed::kBadUsage;
  }
  if (!commandLine && (o->command == Command::Run || o->command == Command::Probe)) {
    *error = o->commandName + " cannot run from a file: it opens the port itself";
    return Parsed::kBadUsage;
  }
  for (Key key : given) {
    for (const OptionInfo &info : kOptions) {
      if (info.key == key && !FitsCommand(key, o->command)) {
        *error = std::string("option --") + info.longName + " does not apply to " + o->commandName;
        return Parsed::kBadUsage;
      }
    }
  }
  return Parsed::kRun;
}

Parsed ParseCommandLine(int argc, char **argv, Options *options, std::string *error) {
  return ParseArguments(std::vector<std::string>(argv + 1, argv + argc), Source::kCommandLine, options,
                        error);
}

bool SplitWords(const std::string &line, std::vector<std::string> *words, std::string *error) {
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\'' || c == '"') {
      inWord = true;
      size_t close = i + 1;
      for (; close < line.size() && line[close] != c; ++close) {
        if (c == '"' && line[close] == '\\' && close + 1 < line.size() &&
            (line[close + 1] == '"' || line[close + 1] == '\\'))
          ++close;
        word += line[close];
      }
      if (close >= line.size()) {
        *error = std::string("a quote ") + c + " is not closed";
        return false;
      }
      i = close;
    } else if (c == '\\' && i + 1 < line.size()) {
      inWord = true;
      word += line[++i];
    } else {
      inWord = true;
      word += c;
    }
  }
  if (inWord) words->push_back(word);
  return true;
}

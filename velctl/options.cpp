#include "options.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace {

enum class Key { Port, Device, Family, Type, Format, Output, Interval, Count, Trace, MaxFrame, Quiet };

struct OptionInfo {
  Key key;
  const char *longName;
  char shortName;  // 0: none
  bool takesValue;
};

const OptionInfo kOptions[] = {
    {Key::Port, "port", 'p', true},       {Key::Device, "device", 'd', true},
    {Key::Family, "family", 'f', true},   {Key::Type, "type", 't', true},
    {Key::Format, "format", 0, true},     {Key::Output, "output", 'o', true},
    {Key::Interval, "interval", 0, true}, {Key::Count, "count", 0, true},
    {Key::Trace, "trace", 0, false},      {Key::MaxFrame, "max-frame", 0, true},
    {Key::Quiet, "quiet", 'q', false},
};

struct CommandInfo {
  Command command;
  const char *name;
};

const CommandInfo kCommands[] = {
    {Command::Read, "read"}, {Command::Write, "write"}, {Command::Poll, "poll"},
    {Command::Dump, "dump"}, {Command::Load, "load"},
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char &c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool IsValue(const char *arg) {
  return arg[0] != '-' || arg[1] == '\0' || (arg[1] >= '0' && arg[1] <= '9') || arg[1] == '.';
}

// Options that only one command takes.
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
    return command == Command::Read || command == Command::Poll;
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
    if (value.empty()) {
      *error = "the device path is empty";
      return false;
    }
    o->device = value;
    return true;
  case Key::Family:
    if (lower != "fx" && lower != "a") {
      *error = "bad family '" + std::string(value) + "': fx or a";
      return false;
    }
    o->fx = lower == "fx";
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

Parsed ParseCommandLine(int argc, char **argv, Options *o, std::string *error) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return Parsed::kHelp;
    if (std::strcmp(argv[i], "--version") == 0) return Parsed::kVersion;
  }
  std::vector<Key> given;
  bool commandSeen = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (optionsEnded || IsValue(arg)) {
      if (commandSeen) {
        o->operands.emplace_back(arg);
        continue;
      }
      for (const CommandInfo &c : kCommands) {
        if (std::strcmp(arg, c.name) == 0) {
          o->command = c.command;
          o->commandName = c.name;
          commandSeen = true;
        }
      }
      if (!commandSeen) {
        *error = std::string("unknown command '") + arg + "': read, write, poll, dump or load";
        return Parsed::kBadUsage;
      }
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
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
      *error = std::string("unknown option '") + arg + "'";
      return Parsed::kBadUsage;
    }
    std::string_view value;
    if (info->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        *error = std::string("option '") + arg + "' needs a value";
        return Parsed::kBadUsage;
      }
    } else if (inlineValue) {
      *error = std::string("option '") + std::string(name) + "' takes no value";
      return Parsed::kBadUsage;
    }
    if (!Apply(info->key, value, o, error)) return Parsed::kBadUsage;
    given.push_back(info->key);
  }
  if (!commandSeen) {
    *error = "a command is missing: read, write, poll, dump or load";
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

#include "output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform.h"

namespace {

bool failed = false;
bool closedAtStart = false;

}  // namespace

Printer::Printer(Format format, ValueType type, bool timed) : format_(format), type_(type), timed_(timed) {}

bool Printer::Print(const std::vector<Item> &items, const std::string &time) {
  std::string out;
  switch (format_) {
  case Format::Text: {
    size_t nameWidth = 0, valueWidth = 0;
    for (const Item &item : items) {
      nameWidth = std::max(nameWidth, item.name.size());
      valueWidth = std::max(valueWidth, item.value.size());
    }
    for (const Item &item : items) {
      if (timed_) out += time + " ";
      out += item.name + std::string(nameWidth - item.name.size(), ' ') + " = ";
      out += std::string(valueWidth - item.value.size(), ' ') + item.value;
      if (!item.raw.empty()) out += " (" + item.raw + ")";
      out += "\n";
    }
    break;
  }
  case Format::Csv:
    if (!headerDone_) out += timed_ ? "time,address,value\n" : "address,value\n";
    for (const Item &item : items) out += (timed_ ? time + "," : "") + item.name + "," + item.value + "\n";
    break;
  case Format::Json: {
    out += "{";
    if (timed_) out += "\"time\":\"" + time + "\",";
    out += "\"address\":\"" + (items.empty() ? std::string() : items.front().name) + "\",\"type\":\"" +
           TypeName(type_) + "\",\"values\":[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i].json;
    out += "]}\n";
    break;
  }
  }
  headerDone_ = true;
  return WriteOut(out);
}

bool WriteOut(const std::string &data) {
  return WriteOut(data.data(), data.size());
}

bool WriteOut(const void *data, size_t size) {
  if (closedAtStart) {
    errno = EBADF;
    failed = true;
    return false;
  }
  const bool ok = std::fwrite(data, 1, size, stdout) == size && std::fflush(stdout) == 0;
  if (!ok) {
    const int error = errno;
    std::clearerr(stdout);
    errno = error;
    failed = true;
  }
  return ok;
}

bool OutputFailed() {
  return failed;
}

void NoteStdoutClosed() {
  closedAtStart = true;
}

bool StdoutWasClosed() {
  return closedAtStart;
}

std::string TimeStamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  std::tm t = UtcCalendar(seconds);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms));
  return text;
}

// The table the benchmarks print: one row per measured case, with its target and whether it held.
#pragma once

#include <string>
#include <vector>

namespace bench {

enum class Held { Yes, No, Info, Skipped };

struct Row {
  std::string benchmark;  // "wire efficiency", "CPU", ...
  std::string what;       // the case: "FX read 254 B (x3)"
  std::string result;     // "1.004 (548.1 ms / 546.9 ms)"
  std::string target;     // "<= 1.01", or "-" for a figure without a target
  Held held = Held::Info;
};

class ResultTable {
 public:
  void add(Row row);
  // Adds a row and echoes it on stderr as progress.
  void addAndShow(Row row);
  void note(std::string text);  // printed under the table
  // Markdown table on stdout; returns the number of rows whose target was missed.
  int print() const;

 private:
  std::vector<Row> rows_;
  std::vector<std::string> notes_;
};

const char *HeldText(Held held);

}  // namespace bench

#include "result_table.h"

#include <cstdio>

namespace bench {

const char *HeldText(Held held) {
  switch (held) {
  case Held::Yes:
    return "yes";
  case Held::No:
    return "**NO**";
  case Held::Info:
    return "-";
  case Held::Skipped:
    return "skipped";
  }
  return "?";
}

void ResultTable::add(Row row) {
  rows_.push_back(std::move(row));
}

void ResultTable::addAndShow(Row row) {
  std::fprintf(stderr, "velbench:   %s | %s | %s | %s | %s\n", row.benchmark.c_str(), row.what.c_str(),
               row.result.c_str(), row.target.c_str(), HeldText(row.held));
  add(std::move(row));
}

void ResultTable::note(std::string text) {
  notes_.push_back(std::move(text));
}

int ResultTable::print() const {
  int missed = 0;
  std::printf("| Benchmark | Case | Result | Target | Held |\n|---|---|---|---|---|\n");
  for (const Row &r : rows_) {
    std::printf("| %s | %s | %s | %s | %s |\n", r.benchmark.c_str(), r.what.c_str(), r.result.c_str(),
                r.target.c_str(), HeldText(r.held));
    missed += r.held == Held::No;
  }
  if (!notes_.empty()) std::printf("\n");
  for (const std::string &n : notes_) std::printf("- %s\n", n.c_str());
  std::fflush(stdout);
  return missed;
}

}  // namespace bench

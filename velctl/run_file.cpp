// velctl run FILE: the commands of a file, one a line, over one open link.
// Every line is checked before the port is opened; a bad one is a usage
// error and nothing is sent. Then the lines run in order, each with its
// output as on its own; a failed one is reported and the next one runs, and
// the exit status is that of the first failure. A failed standard output or
// Ctrl-C ends the run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "platform.h"
#include "settings.h"

namespace {

// Larger command files are surely a mistake (a binary file, /dev/zero).
constexpr size_t kLargestFile = 4 << 20;

bool ReadText(const std::string &name, std::string *text, std::string *error) {
  std::FILE *file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!file) {
    *error = "cannot read '" + name + "': " + std::strerror(errno);
    return false;
  }
  char block[4096];
  size_t n;
  while (text->size() <= kLargestFile && (n = std::fread(block, 1, sizeof block, file)) > 0)
    text->append(block, n);
  const bool failed = std::ferror(file) != 0;
  if (failed) *error = "cannot read '" + name + "': " + std::strerror(errno);
  if (file != stdin) std::fclose(file);
  if (!failed && text->size() > kLargestFile) *error = "'" + name + "' is too large for a command file";
  return error->empty();
}

}  // namespace

int RunFile(const Options &options) {
  const std::string &name = options.operands.size() == 1 ? options.operands[0] : std::string();
  if (name.empty()) return BadUsage("usage: velctl [options] run FILE (\"-\" for standard input)");
  std::string text, error;
  if (!ReadText(name, &text, &error)) return BadUsage(error);
  const std::string shown = name == "-" ? "standard input" : name;

  // Each line as its own command line, with the options of velctl's.
  std::vector<Job> jobs;
  int bad = 0;
  size_t lineNumber = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    const std::string where = shown + ":" + std::to_string(lineNumber) + ": ";
    std::vector<std::string> words;
    Options lineOptions = options;
    lineOptions.operands.clear();
    Job job;
    bool ok = SplitWords(line, &words, &error);
    if (ok && words.empty()) continue;  // blank, or a comment
    ok = ok && ParseArguments(words, Source::kRunLine, &lineOptions, &error) == Parsed::kRun;
    job.what = where + Describe(lineOptions);
    ok = ok && PrepareJob(lineOptions, &job, &error);
    if (ok && name == "-" && lineOptions.command == Command::Load && lineOptions.operands[1] == "-") {
      error = "load from standard input: the commands come from there";
      ok = false;
    }
    if (!ok) {
      Say(where + error);
      ++bad;
      continue;
    }
    jobs.push_back(std::move(job));
  }
  if (bad)
    return BadUsage(std::to_string(bad) + (bad == 1 ? " line" : " lines") + " of " + shown +
                    " cannot run; nothing was sent");
  if (jobs.empty()) return kExitOk;
  for (const Job &job : jobs)
    if (PrintsData(job) && StdoutWasClosed()) return StdoutFailed(EBADF);

  if (!PassSettings(options)) return kExitFailed;
  CatchInterrupt();  // Ctrl-C ends the run after the transfer under way
  Link link(SetupOf(options));
  if (int status = link.Open(); status != 0) return OpenFailed("run " + name, options, link, status);
  int first = kExitOk;
  for (Job &job : jobs) {
    if (Interrupted()) break;
    const int status = RunJob(job, link);
    if (first == kExitOk) first = status;
    if (OutputFailed()) break;
  }
  return first;
}

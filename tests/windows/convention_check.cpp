// Calling-convention check of the 32-bit veldrv.dll, as a caller in another
// language sees it: resolves each of the six exports through GetProcAddress
// by name and by ordinal, calls it the way a 32-bit Windows program does and
// measures how many bytes of arguments the function removed from the stack.
// A __stdcall function removes them all (VelOpen 8, VelRdB 20), a cdecl
// function none: this is the check behind Visual Basic's "Bad DLL calling
// convention". Then the functions, declared in the chosen convention, run a
// few transfers against a simulated FX controller.
//
//   veldrv_convention_check --convention cdecl|stdcall [--dll PATH] [--fx COM]
//
// Exit status 1 when the DLL does not have the convention asked for.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "com_line.h"
#include "veldrv.h"

namespace {

struct Options {
  std::string dll;
  bool stdcall = false;
  int fxCom = 0;
};

Options options;
HMODULE module = nullptr;
bool conventionHolds = false;  // set once every export removed what it should

struct Export {
  const char *name;
  int ordinal;
  int argumentCount;
};

// Ordinals 1..6 follow the alphabetical order of the six names; the two
// added beside them are 7 and 8.
const Export kExports[8] = {{"VelClose", 1, 1},  {"VelOpen", 2, 2},      {"VelRdB", 3, 5},
                            {"VelRdW", 4, 5},    {"VelWrB", 5, 5},       {"VelWrW", 6, 5},
                            {"VelReason", 7, 3}, {"VelStatusText", 8, 1}};

struct Measured {
  int result;
  int removedBytes;  // bytes of arguments the function took off the stack
};

// Pushes the arguments right to left and calls fn, with the stack 4 bytes
// off a 16-byte boundary at the call (32-bit Windows promises only 4, and
// Visual Basic and Delphi callers give no more), then puts the stack back
// whatever the function did to it. The stack pointer after the call, less
// the one before the arguments went on, plus their size, is what the
// function removed.
Measured MeasuredCall(FARPROC fn, const int32_t *args, int count) {
  int32_t result;
  int32_t n = count;
  const int32_t *p = args;
  int32_t pad = (-4 - 4 * count) & 15;
  asm volatile(
      "movl %%esp, %%esi\n\t"  // the caller's stack, restored at the end
      "andl $-16, %%esp\n\t"
      "subl %%edi, %%esp\n\t"
      "movl %%esp, %%edi\n\t"  // the stack pointer before the arguments
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%%edx,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esp, %%ecx\n\t"
      "subl %%edi, %%ecx\n\t"  // after the call less before the arguments
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "+c"(n), "+d"(p), "+D"(pad)
      : "b"(fn)
      : "esi", "memory", "cc");
  return {result, n + 4 * count};
}

int Expected(const Export &e) {
  return options.stdcall ? 4 * e.argumentCount : 0;
}

const char *ConventionName() {
  return options.stdcall ? "stdcall" : "cdecl";
}

// One call of an export found by name or ordinal: the result and the bytes
// it removed.
// expectedText: the result is a pointer to this text (VelStatusText).
void CheckCall(const Export &e, bool byOrdinal, const std::vector<int32_t> &args, int expectedResult,
               const char *expectedText = nullptr) {
  FARPROC fn =
      byOrdinal ? GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal)) : GetProcAddress(module, e.name);
  std::string what =
      std::string(e.name) + (byOrdinal ? " by ordinal " + std::to_string(e.ordinal) : " by name");
  if (!fn) {
    check::Fail(__FILE__, __LINE__, what + ": not exported");
    return;
  }
  Measured m = MeasuredCall(fn, args.data(), static_cast<int>(args.size()));
  if (m.removedBytes != Expected(e)) {
    check::Fail(__FILE__, __LINE__,
                what + ": the function removed " + std::to_string(m.removedBytes) +
                    " bytes of arguments; a " + ConventionName() + " function removes " +
                    std::to_string(Expected(e)));
  }
  if (expectedText) {
    const char *text = reinterpret_cast<const char *>(static_cast<intptr_t>(m.result));
    if (!text || std::string(text) != expectedText)
      check::Fail(__FILE__, __LINE__, what + " did not return \"" + expectedText + "\"");
  } else if (m.result != expectedResult) {
    check::Fail(
        __FILE__, __LINE__,
        what + " returned " + std::to_string(m.result) + ", expected " + std::to_string(expectedResult));
  }
}

// Every export, by name and by ordinal, with arguments it rejects at once.
void RemovedArguments() {
  static uint8_t buf[4];
  const int32_t bufArg = static_cast<int32_t>(reinterpret_cast<intptr_t>(buf));
  for (bool byOrdinal : {false, true}) {
    CheckCall(kExports[0], byOrdinal, {-1}, VEL_BAD_HANDLE);
    CheckCall(kExports[1], byOrdinal, {16, 1}, VEL_PORT);
    for (int i = 2; i < 6; i++) CheckCall(kExports[i], byOrdinal, {32, 'D', 0, 1, bufArg}, VEL_BAD_HANDLE);
    CheckCall(kExports[6], byOrdinal, {32, bufArg, static_cast<int32_t>(sizeof buf)}, VEL_BAD_HANDLE);
    CheckCall(kExports[7], byOrdinal, {12345}, 0, "unknown status");
  }
  conventionHolds = check::CaseFailures() == 0;
}

// Pointers to the exports declared in one convention, found by ordinal.
template <class OpenT, class CloseT, class TransferT>
struct Declared {
  OpenT open;
  CloseT close;
  TransferT rdB, rdW, wrB, wrW;

  template <class T>
  static T At(int ordinal) {
    return reinterpret_cast<T>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
  }
  Declared()
      : open(At<OpenT>(2)),
        close(At<CloseT>(1)),
        rdB(At<TransferT>(3)),
        rdW(At<TransferT>(4)),
        wrB(At<TransferT>(5)),
        wrW(At<TransferT>(6)) {}
};

// Words and bytes written and read back through the declared pointers.
template <class Api>
void RoundTrip(const Api &api) {
  int com = options.fxCom;
  comline::ResetLine(com);
  int h = api.open(com - 1, 1);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  uint16_t words[4] = {0x1234, 0xBEEF, 0x0001, 0x8000};
  uint16_t wordsBack[4] = {};
  CHECK_EQ(0, api.wrW(h, 'D', 200, 4, words));
  CHECK_EQ(0, api.rdW(h, 'D', 200, 4, wordsBack));
  CHECK(std::memcmp(words, wordsBack, sizeof words) == 0);
  uint8_t bytes[5] = {1, 2, 3, 0xFE, 0xFF};
  uint8_t bytesBack[5] = {};
  CHECK_EQ(0, api.wrB(h, 'M', 3, 5, bytes));
  CHECK_EQ(0, api.rdB(h, 'm', 3, 5, bytesBack));
  CHECK(std::memcmp(bytes, bytesBack, sizeof bytes) == 0);
  CHECK_EQ(0, api.close(h));
  CHECK_EQ(VEL_BAD_HANDLE, api.close(h));
}

void DeclaredTransfers() {
  if (!options.fxCom) check::Skip("no FX simulator given");
  // Calls through wrongly declared pointers would corrupt this program's
  // stack: only once the convention is known to hold.
  if (!conventionHolds) check::Skip(std::string("the DLL's functions are not ") + ConventionName());
  if (options.stdcall) {
    RoundTrip(Declared<int(__stdcall *)(int, int), int(__stdcall *)(int),
                       int(__stdcall *)(int, int, int, int, void *)>());
  } else {
    RoundTrip(Declared<int(__cdecl *)(int, int), int(__cdecl *)(int),
                       int(__cdecl *)(int, int, int, int, void *)>());
  }
}

bool ParseOptions(int argc, char **argv) {
  bool convention = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--convention" && (v == "cdecl" || v == "stdcall")) {
      options.stdcall = v == "stdcall";
      convention = true;
    } else if (a == "--dll") {
      options.dll = v;
    } else if (a == "--fx") {
      options.fxCom = std::atoi(v.c_str());
    } else {
      return false;
    }
  }
  return convention && argc % 2 == 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (!ParseOptions(argc, argv)) {
    std::fprintf(stderr,
                 "usage: veldrv_convention_check --convention cdecl|stdcall [--dll PATH] [--fx COM]\n");
    return 2;
  }
  if (options.dll.empty()) options.dll = comline::DllBesideProgram();
  module = LoadLibraryA(options.dll.c_str());
  if (!module) {
    std::printf("cannot load %s (error %lu)\nRESULT passed=0 failed=1 skipped=0\n", options.dll.c_str(),
                GetLastError());
    return 1;
  }
  std::string prefix = std::string("Convention.") + (options.stdcall ? "Stdcall" : "Cdecl");
  check::Runner runner;
  runner.Add(prefix + ".RemovedArguments", RemovedArguments);
  runner.Add(prefix + ".DeclaredTransfers", DeclaredTransfers);
  return runner.Run() == 0 ? 0 : 1;
}

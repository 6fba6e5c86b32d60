// End-to-end test of veldrv.dll on Windows (run under Wine in CI): loads the
// DLL, resolves the six exports by name and by ordinal, and drives them
// against controller simulators on the COM ports named on the command line.
//
//   veldrv_wine_test [--dll PATH] [--fx COM] [--a COM] [--image] [--missing COM]
//                    [--expect COM,fx|a,CODE,LABEL]... [--renamed COM,CODE]
//                    [--refused COM,LABEL,TEXT]...
//
// --fx / --a: COM number of a well-behaved FX / A-series simulator.
// --image: those simulators started with the memory image ImageByte() describes.
// --missing: a COM number that names no device.
// --expect: a simulator with an injected fault; a one-word read of D 0 must
//           return CODE (LABEL names the case).
// --renamed: an FX simulator on COM (not COM1) whose one-word read of D 0
//           returns CODE (not 0); VELDRV_COM1 points port 0 at it.
// --refused: a device whose FX open must fail with -4 and a reason that
//           contains TEXT (a device server that refuses the line).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "com_line.h"
#include "veldrv.h"

namespace {

// The convention the header declares: a build with VELDRV_STDCALL tests
// the __stdcall DLL.
using OpenFn = int(VELDRV_CALL *)(int, int);
using CloseFn = int(VELDRV_CALL *)(int);
using TransferFn = int(VELDRV_CALL *)(int, int, int, int, void *);
using ReasonFn = int(VELDRV_CALL *)(int, char *, int);

struct Api {
  HMODULE module = nullptr;
  OpenFn open = nullptr;
  CloseFn close = nullptr;
  TransferFn rdB = nullptr, rdW = nullptr, wrB = nullptr, wrW = nullptr;
};

struct Fault {
  int com;
  bool fx;
  int code;
  std::string label;
};

struct Refusal {
  int com;
  std::string label;
  std::string text;
};

struct Options {
  std::string dll;
  int fxCom = 0;
  int aCom = 0;
  int missingCom = 0;
  int exitChildCom = 0;  // run as the child of ExitDuringTransfer
  int renamedCom = 0;
  int renamedCode = 0;
  bool image = false;
  std::vector<Fault> faults;
  std::vector<Refusal> refusals;
};

Options options;
Api api;

// Ordinal n belongs to kNames[n - 1]: the six in alphabetical order, then the two added beside them.
const char *const kNames[8] = {"VelClose", "VelOpen", "VelRdB",    "VelRdW",
                               "VelWrB",   "VelWrW",  "VelReason", "VelStatusText"};

// Through void (*)(): the one function pointer type any other converts to cleanly.
template <class Fn>
Fn Proc(HMODULE module, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool LoadApi(const std::string &path) {
  api.module = LoadLibraryA(path.c_str());
  if (!api.module) return false;
  api.close = Proc<CloseFn>(api.module, "VelClose");
  api.open = Proc<OpenFn>(api.module, "VelOpen");
  api.rdB = Proc<TransferFn>(api.module, "VelRdB");
  api.rdW = Proc<TransferFn>(api.module, "VelRdW");
  api.wrB = Proc<TransferFn>(api.module, "VelWrB");
  api.wrW = Proc<TransferFn>(api.module, "VelWrW");
  return api.open && api.close && api.rdB && api.rdW && api.wrB && api.wrW;
}

using comline::ResetLine;
using comline::UnderWine;

std::map<int, int> openCounts;  // handles the test holds per COM number

int Open(int com, bool fx) {
  if (openCounts[com] == 0) ResetLine(com);
  int h = api.open(com - 1, fx ? 1 : 0);
  if (h >= 0) openCounts[com]++;
  return h;
}

int Close(int com, int handle) {
  int r = api.close(handle);
  if (r == 0) openCounts[com]--;
  return r;
}

std::vector<uint8_t> Pattern(int seed, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed * 37 + i * 11 + (i >> 4));
  return v;
}

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void NeedPort(int com, const char *what) {
  if (com == 0) check::Skip(std::string("no ") + what + " simulator given");
}

// ---- exports ---------------------------------------------------------------

void ExportsByNameAndOrdinal() {
  for (int n = 1; n <= 8; n++) {
    FARPROC byOrdinal = GetProcAddress(api.module, MAKEINTRESOURCEA(n));
    FARPROC byName = GetProcAddress(api.module, kNames[n - 1]);
    CHECK(byName != nullptr);
    if (byOrdinal != byName)
      check::Fail(__FILE__, __LINE__, std::string("ordinal differs for ") + kNames[n - 1]);
  }
  CHECK(GetProcAddress(api.module, MAKEINTRESOURCEA(9)) == nullptr);

  // Calls through the ordinals reach the functions of those names.
  auto closeFn = Proc<CloseFn>(api.module, MAKEINTRESOURCEA(1));
  auto openFn = Proc<OpenFn>(api.module, MAKEINTRESOURCEA(2));
  REQUIRE_EQ(1, closeFn && openFn ? 1 : 0);
  CHECK_EQ(VEL_BAD_HANDLE, closeFn(-1));
  CHECK_EQ(VEL_PORT, openFn(16, 1));
  uint8_t buf[2] = {};
  for (int n = 3; n <= 6; n++) {
    auto transfer = Proc<TransferFn>(api.module, MAKEINTRESOURCEA(n));
    REQUIRE_EQ(1, transfer ? 1 : 0);
    CHECK_EQ(VEL_BAD_HANDLE, transfer(32, 'D', 0, 1, buf));
  }
  // The reason of the failed open above, and the text of a code, by name and by ordinal.
  using ReasonFn = int(VELDRV_CALL *)(int, char *, int);
  using TextFn = const char *(VELDRV_CALL *)(int);
  for (const char *reasonName : {kNames[6], static_cast<const char *>(MAKEINTRESOURCEA(7))}) {
    auto reasonFn = Proc<ReasonFn>(api.module, reasonName);
    REQUIRE_EQ(1, reasonFn ? 1 : 0);
    char why[256] = "";
    CHECK_EQ(VEL_PORT, reasonFn(-1, why, sizeof why));
    CHECK(std::string(why).find("port 16") != std::string::npos);
    CHECK_EQ(VEL_BAD_HANDLE, reasonFn(32, why, sizeof why));
  }
  for (const char *textName : {kNames[7], static_cast<const char *>(MAKEINTRESOURCEA(8))}) {
    auto textFn = Proc<TextFn>(api.module, textName);
    REQUIRE_EQ(1, textFn ? 1 : 0);
    CHECK(std::string(textFn(VEL_TIMEOUT)).find("time-out") == 0);
    CHECK(std::string(textFn(7)) == "unknown status");
  }
}

// ---- handle table and status codes ------------------------------------------

void HandlesOutOfRange() {
  uint8_t buf[4] = {};
  CHECK_EQ(VEL_BAD_HANDLE, api.close(-1));
  CHECK_EQ(VEL_BAD_HANDLE, api.close(32));
  CHECK_EQ(VEL_BAD_HANDLE, api.rdB(32, 'D', 0, 1, buf));
  CHECK_EQ(VEL_BAD_HANDLE, api.rdW(-1, 'D', 0, 1, buf));
  CHECK_EQ(VEL_BAD_HANDLE, api.wrB(1000, 'D', 0, 1, buf));
  CHECK_EQ(VEL_BAD_HANDLE, api.wrW(-99, 'D', 0, 1, buf));
  CHECK_EQ(VEL_BAD_HANDLE, api.rdB(0, 'D', 0, 1, buf));  // slot 0 is not open
}

void HandlesBadPorts() {
  CHECK_EQ(VEL_PORT, api.open(16, 1));
  CHECK_EQ(VEL_PORT, api.open(16, 0));
  CHECK_EQ(VEL_PORT, api.open(0x10010, 1));  // low 16 bits: 16
  CHECK_EQ(VEL_PORT, api.open(-1, 1));       // 0xFFFF
  if (options.missingCom) {
    CHECK_EQ(VEL_PORT, api.open(options.missingCom - 1, 1));
    CHECK_EQ(VEL_PORT, api.open(options.missingCom - 1, 0));
  }
}

void HandlesTable() {
  NeedPort(options.fxCom, "FX");
  int com = options.fxCom;
  // Failed opens above left no slot in use: numbering starts at 0.
  REQUIRE_EQ(0, Open(com, true));
  REQUIRE_EQ(1, Open(com, true));
  CHECK_EQ(0, Close(com, 0));
  REQUIRE_EQ(0, Open(com, true));
  std::vector<int> handles = {0, 1};
  for (int i = 2; i < 32; i++) {
    int h = Open(com, true);
    CHECK_EQ(i, h);
    if (h >= 0) handles.push_back(h);
  }
  CHECK_EQ(VEL_NO_HANDLE, api.open(com - 1, 1));  // the 33rd
  uint8_t buf[8] = {};
  // Every handle shares the one port and its link.
  CHECK_EQ(0, api.rdB(handles.back(), 'D', 0, 2, buf));
  for (int h : handles) CHECK_EQ(0, Close(com, h));
  CHECK_EQ(VEL_BAD_HANDLE, api.close(5));  // closed already
  REQUIRE_EQ(0, Open(com, true));
  CHECK_EQ(0, Close(com, 0));
}

void HandlesLetters() {
  NeedPort(options.fxCom, "FX");
  int com = options.fxCom;
  int h = Open(com, true);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  uint8_t buf[8] = {};
  for (int letter : {'E', 'e', 'I', 'i', 'X', 'x'}) {
    CHECK_EQ(VEL_BAD_LETTER, api.wrB(h, letter, 0, 1, buf));
    CHECK_EQ(VEL_BAD_LETTER, api.wrW(h, letter, 0, 1, buf));
  }
  for (int letter : {int{'Q'}, int{'q'}, int{'Z'}, 0, 'D' + 256}) {
    CHECK_EQ(VEL_BAD_LETTER, api.rdB(h, letter, 0, 1, buf));
    CHECK_EQ(VEL_BAD_LETTER, api.wrW(h, letter, 0, 1, buf));
  }
  CHECK_EQ(0, Close(com, h));
}

// ---- operand areas ------------------------------------------------------------

struct Area {
  const char *letters;
  uint16_t baseFx;
  uint16_t baseA;
  bool writable;
};

const Area kAreas[] = {
    {"Dd", 0x1000, 0x8800, true},
    {"EeIiXx", 0x0080, 0x8000, false},
    {"AaOoYy", 0x00A0, 0x8200, true},
    {"Mm", 0x0100, 0x8400, true},
};

// The simulators' memory image when they are started with --image: a byte
// that differs from its neighbours and from the same offset of other pages.
uint8_t ImageByte(uint32_t address) {
  return static_cast<uint8_t>(address * 7 + (address >> 8) + 0x5A);
}

// Reads of every area and of raw addresses find the preloaded image at the
// controller addresses the mapping names: this checks the addresses that go
// on the wire, which round trips through the library alone cannot.
void PreloadedImage(int com, bool fx) {
  if (!options.image) check::Skip("simulators not started with the image");
  int h = Open(com, fx);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  auto expect = [](uint32_t address, size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = ImageByte(static_cast<uint32_t>((address + i) & 0xFFFF));
    return v;
  };
  for (const Area &area : kAreas) {
    uint32_t base = fx ? area.baseFx : area.baseA;
    std::vector<uint8_t> got(6);
    CHECK_EQ(0, api.rdB(h, area.letters[0], 17, 6, got.data()));
    if (got != expect(base + 17, 6))
      check::Fail(__FILE__, __LINE__, std::string("bytes of ") + area.letters[0]);
    CHECK_EQ(0, api.rdW(h, area.letters[1], 21, 3, got.data()));
    if (got != expect(base + 42, 6))
      check::Fail(__FILE__, __LINE__, std::string("words of ") + area.letters[1]);
  }
  std::vector<uint8_t> raw(8);
  for (uint32_t address : {0x0000u, 0x1234u, 0x7FFDu, 0xABCDu, 0xFFF0u}) {
    CHECK_EQ(0, api.rdB(h, 'S', static_cast<int>(address), 8, raw.data()));
    if (raw != expect(address, 8)) check::Fail(__FILE__, __LINE__, "raw bytes at " + std::to_string(address));
    CHECK_EQ(0, api.rdW(h, 's', static_cast<int>(address), 4, raw.data()));  // not doubled
    if (raw != expect(address, 8)) check::Fail(__FILE__, __LINE__, "raw words at " + std::to_string(address));
  }
  CHECK_EQ(0, Close(com, h));
}

// For every letter of every area: bytes and words placed through the raw
// area 'S' at the area's base address read back through the letter, and
// (writable areas) bytes and words written through the letter read back
// through 'S'. A wrong base, a missing doubling of word numbers or a lost
// byte shows up as a mismatch.
void AreasRoundTrip(int com, bool fx) {
  int h = Open(com, fx);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  int seed = 1;
  for (const Area &area : kAreas) {
    uint16_t base = fx ? area.baseFx : area.baseA;
    int start = 3;
    for (const char *p = area.letters; *p; p++, seed++, start += 9) {
      int letter = *p;
      std::string what = std::string("letter ") + static_cast<char>(letter);

      // bytes: S -> letter
      std::vector<uint8_t> put = Pattern(seed, 5), got(5);
      CHECK_EQ(0, api.wrB(h, 'S', base + start, 5, put.data()));
      CHECK_EQ(0, api.rdB(h, letter, start, 5, got.data()));
      if (got != put) check::Fail(__FILE__, __LINE__, what + ": byte read differs");

      // words: S at base + 2 * start -> letter
      std::vector<uint8_t> wput = Pattern(seed + 50, 6), wgot(6);
      int wstart = start + 40;
      CHECK_EQ(0, api.wrB(h, 's', base + 2 * wstart, 6, wput.data()));
      CHECK_EQ(0, api.rdW(h, letter, wstart, 3, wgot.data()));
      if (wgot != wput) check::Fail(__FILE__, __LINE__, what + ": word read differs");

      if (!area.writable) continue;
      // bytes: letter -> S
      std::vector<uint8_t> put2 = Pattern(seed + 100, 7), got2(7);
      int start2 = start + 200;
      CHECK_EQ(0, api.wrB(h, letter, start2, 7, put2.data()));
      CHECK_EQ(0, api.rdB(h, 'S', base + start2, 7, got2.data()));
      if (got2 != put2) check::Fail(__FILE__, __LINE__, what + ": byte write landed elsewhere");

      // words: letter -> S (raw word addresses are not doubled)
      std::vector<uint8_t> wput2 = Pattern(seed + 150, 8), wgot2(8);
      int wstart2 = start + 300;
      CHECK_EQ(0, api.wrW(h, letter, wstart2, 4, wput2.data()));
      CHECK_EQ(0, api.rdW(h, 'S', base + 2 * wstart2, 4, wgot2.data()));
      if (wgot2 != wput2) check::Fail(__FILE__, __LINE__, what + ": word write landed elsewhere");
    }
  }
  CHECK_EQ(0, Close(com, h));
}

// 600 bytes take three frames (254 + 254 + 92); 300 words the same.
void SplitTransfers(int com, bool fx) {
  int h = Open(com, fx);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  uint16_t base = fx ? 0x1000 : 0x8800;  // data registers
  std::vector<uint8_t> put = Pattern(7, 600), got(600, 0), raw(600, 0);
  CHECK_EQ(0, api.wrB(h, 'D', 100, 600, put.data()));
  CHECK_EQ(0, api.rdB(h, 'D', 100, 600, got.data()));
  CHECK(got == put);
  CHECK_EQ(0, api.rdB(h, 'S', base + 100, 600, raw.data()));
  CHECK(raw == put);

  std::vector<uint8_t> wput = Pattern(8, 600), wgot(600, 0);
  CHECK_EQ(0, api.wrW(h, 'D', 1000, 300, wput.data()));
  CHECK_EQ(0, api.rdW(h, 'D', 1000, 300, wgot.data()));
  CHECK(wgot == wput);
  CHECK_EQ(0, api.rdB(h, 'S', base + 2000, 600, raw.data()));
  CHECK(raw == wput);

  // A count of 0 sends nothing and reports the link's last status (0).
  CHECK_EQ(0, api.rdB(h, 'D', 0, 0, got.data()));
  CHECK_EQ(0, Close(com, h));
}

// Two threads, each with its own handle on one port, never interleave frames.
void TwoThreadsOnePort(int com, bool fx) {
  int h1 = Open(com, fx);
  REQUIRE_EQ(0, h1 < 0 ? h1 : 0);
  int h2 = Open(com, fx);
  REQUIRE_EQ(0, h2 < 0 ? h2 : 0);
  std::atomic<int> bad{0};
  auto worker = [&bad](int h, int start, int seed) {
    for (int i = 0; i < 15; i++) {
      std::vector<uint8_t> put = Pattern(seed + i, 40), got(40);
      if (api.wrB(h, 'M', start, 40, put.data()) != 0) bad++;
      if (api.rdB(h, 'M', start, 40, got.data()) != 0 || got != put) bad++;
    }
  };
  std::thread t1(worker, h1, 0, 11);
  std::thread t2(worker, h2, 100, 77);
  t1.join();
  t2.join();
  CHECK_EQ(0, bad.load());
  CHECK_EQ(0, Close(com, h1));
  CHECK_EQ(0, Close(com, h2));
}

// ---- faults -------------------------------------------------------------------

void FaultStatus(const Fault &f) {
  int h = Open(f.com, f.fx);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  uint8_t buf[4] = {};
  auto t0 = std::chrono::steady_clock::now();
  CHECK_EQ(f.code, api.rdW(h, 'D', 0, 1, buf));
  double s = SecondsSince(t0);
  if (f.code == VEL_TIMEOUT && (s < 0.5 || s > 10.0))
    check::Fail(__FILE__, __LINE__, "time-out after " + std::to_string(s) + " s");
  // A count of 0 sends nothing and reports the status of the last failure.
  CHECK_EQ(f.code, api.rdB(h, 'D', 0, 0, buf));
  CHECK_EQ(0, Close(f.com, h));
}

void RefusedOpen(const Refusal &r) {
  auto reason = Proc<ReasonFn>(api.module, "VelReason");
  REQUIRE_EQ(true, reason != nullptr);
  CHECK_EQ(VEL_PORT, Open(r.com, true));
  char why[256] = "";
  CHECK_EQ(VEL_PORT, reason(-1, why, sizeof why));
  if (!std::strstr(why, r.text.c_str())) check::Fail(__FILE__, __LINE__, std::string("the reason: ") + why);
}

// ---- port names ------------------------------------------------------------------

// VELDRV_COM<n> names the COM port of port n-1, in any case, with or without
// the \\.\ prefix; it wins over COM<n> itself, and a value that names no COM
// port fails the open instead of reaching some other device.
void PortsNamedByVariable() {
  if (!options.renamedCom) check::Skip("no simulator for VELDRV_COM1 given");
  int com = options.renamedCom;
  char value[32];
  uint8_t buf[4] = {};
  for (const char *form : {"COM%d", "\\\\.\\com%d", "cOm%d"}) {
    std::snprintf(value, sizeof value, form, com);
    SetEnvironmentVariableA("VELDRV_COM1", value);
    ResetLine(com);
    int h = api.open(0, 1);
    CHECK(h >= 0);
    if (h < 0) continue;
    // The simulator's own answer shows which device port 0 reached.
    if (api.rdW(h, 'D', 0, 1, buf) != options.renamedCode)
      check::Fail(__FILE__, __LINE__,
                  std::string("VELDRV_COM1=") + value + " did not reach COM" + std::to_string(com));
    CHECK_EQ(0, api.close(h));
  }
  for (const char *bad : {"COM0", "COM", "COM5x", "COM 5", "COM-5", "COM257", "\\\\.\\PIPE\\x", "NUL",
                          "/dev/ttyS0", "\\\\.\\COM"}) {
    SetEnvironmentVariableA("VELDRV_COM1", bad);
    int h = api.open(0, 1);
    if (h != VEL_PORT)
      check::Fail(__FILE__, __LINE__, std::string("VELDRV_COM1=") + bad + " opened: " + std::to_string(h));
    if (h >= 0) api.close(h);
  }
  SetEnvironmentVariableA("VELDRV_COM1", nullptr);
  if (options.fxCom && options.missingCom) {
    // The variable wins over the port's own name.
    std::string variable = "VELDRV_COM" + std::to_string(options.fxCom);
    std::snprintf(value, sizeof value, "COM%d", options.missingCom);
    SetEnvironmentVariableA(variable.c_str(), value);
    CHECK_EQ(VEL_PORT, api.open(options.fxCom - 1, 1));
    // An empty value counts as unset.
    SetEnvironmentVariableA(variable.c_str(), "");
    int h = Open(options.fxCom, true);
    CHECK(h >= 0);
    if (h >= 0) {
      CHECK_EQ(0, api.rdW(h, 'D', 0, 1, buf));
      CHECK_EQ(0, Close(options.fxCom, h));
    }
    SetEnvironmentVariableA(variable.c_str(), nullptr);
  }
}

// ---- trace -------------------------------------------------------------------------

// VELDRV_TRACE: a file is appended to; a file that cannot be opened leaves
// the trace off and is told by VelReason(-1) after the open, which succeeds;
// "stderr" in any case and with blanks around it is standard error, not a
// file of that name.
void TraceTargets() {
  NeedPort(options.fxCom, "FX");
  using ReasonFn = int(VELDRV_CALL *)(int, char *, int);
  auto reason = Proc<ReasonFn>(api.module, "VelReason");
  REQUIRE_EQ(1, reason ? 1 : 0);
  char temp[MAX_PATH];
  REQUIRE_EQ(1, GetTempPathA(sizeof temp, temp) > 0 ? 1 : 0);
  const std::string folder = std::string(temp) + "veldrv-trace-" + std::to_string(GetCurrentProcessId());
  REQUIRE_EQ(1, CreateDirectoryA(folder.c_str(), nullptr) ? 1 : 0);
  const std::string file = folder + "\\plc.trace", missing = folder + "\\no-such-folder\\plc.trace";

  SetEnvironmentVariableA("VELDRV_TRACE", missing.c_str());
  int h = Open(options.fxCom, true);
  CHECK(h >= 0);
  char why[256] = "";
  CHECK_EQ(0, reason(-1, why, sizeof why));
  const std::string told = why;
  if (told.rfind("VELDRV_TRACE=" + missing + ": cannot open it (", 0) != 0 ||
      told.find("); the trace is off") == std::string::npos)
    check::Fail(__FILE__, __LINE__, "VelReason(-1) after the open: " + told);
  if (h >= 0) CHECK_EQ(0, Close(options.fxCom, h));

  SetEnvironmentVariableA("VELDRV_TRACE", file.c_str());
  h = Open(options.fxCom, true);
  CHECK(h >= 0);
  if (h >= 0) CHECK_EQ(0, Close(options.fxCom, h));
  SetEnvironmentVariableA("VELDRV_TRACE", " StdErr ");
  h = Open(options.fxCom, true);  // the trace file is closed: the output changed
  CHECK(h >= 0);
  if (h >= 0) CHECK_EQ(0, Close(options.fxCom, h));
  SetEnvironmentVariableA("VELDRV_TRACE", nullptr);
  HANDLE in = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  char text[4096] = "";
  DWORD got = 0;
  if (in != INVALID_HANDLE_VALUE) {
    ReadFile(in, text, sizeof text - 1, &got, nullptr);
    CloseHandle(in);
  }
  if (std::strstr(text, "VelOpen(") == nullptr) check::Fail(__FILE__, __LINE__, "no trace in " + file);
  CHECK(GetFileAttributesA(" StdErr ") == INVALID_FILE_ATTRIBUTES);
  CHECK(GetFileAttributesA(" StdErr") == INVALID_FILE_ATTRIBUTES);
  DeleteFileA(file.c_str());
  RemoveDirectoryA(folder.c_str());
}

// ---- lifecycle ------------------------------------------------------------------

// Threads that run before the DLL is loaded; there are several, so that a
// count of attachments would fall to zero even with helper threads of the
// runtime attached meanwhile.
constexpr int kEarlyThreads = 8;
HANDLE earlyThreadGo = nullptr;
std::vector<HANDLE> earlyThreads;

DWORD WINAPI EarlyThread(LPVOID) {
  WaitForSingleObject(earlyThreadGo, INFINITE);
  return 0;
}

// A thread that was running before the DLL was loaded detaches from it
// without ever having attached; the library must stay up.
void PreexistingThreadDetach() {
  NeedPort(options.fxCom, "FX");
  if (earlyThreads.empty()) check::Skip("no early threads");
  int com = options.fxCom;
  int h = Open(com, true);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  SetEvent(earlyThreadGo);
  for (HANDLE t : earlyThreads) {
    CHECK(WaitForSingleObject(t, 10000) == WAIT_OBJECT_0);
    CloseHandle(t);
  }
  earlyThreads.clear();
  // Threads started and ended now attach and detach in pairs.
  for (int i = 0; i < 3; i++) std::thread([] {}).join();
  uint8_t buf[4] = {};
  CHECK_EQ(0, api.rdW(h, 'D', 0, 2, buf));
  CHECK_EQ(0, Close(com, h));
}

// Opening is exclusive: a port another program holds cannot be opened.
void ExclusiveOpen() {
  NeedPort(options.fxCom, "FX");
  if (UnderWine()) check::Skip("Wine opens a serial device twice");
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", options.fxCom);
  HANDLE other = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  REQUIRE_EQ(1, other != INVALID_HANDLE_VALUE);
  CHECK_EQ(VEL_PORT, api.open(options.fxCom - 1, 1));
  CloseHandle(other);
}

// Unloading with a handle open closes it and its port; a reloaded DLL starts
// with a fresh table.
void UnloadWithOpenHandle() {
  NeedPort(options.fxCom, "FX");
  int com = options.fxCom;
  int h = Open(com, true);
  REQUIRE_EQ(0, h < 0 ? h : 0);
  CHECK(FreeLibrary(api.module));
  CHECK(GetModuleHandleA("veldrv.dll") == nullptr);
  openCounts[com] = 0;
  REQUIRE_EQ(1, LoadApi(options.dll) ? 1 : 0);
  h = Open(com, true);
  CHECK_EQ(0, h);
  uint8_t buf[4] = {};
  CHECK_EQ(0, api.rdB(h, 'M', 0, 4, buf));
  CHECK_EQ(0, Close(com, h));
}

// The child of ExitDuringTransfer: a thread starts a read from a silent
// controller and the process ends while that read holds its locks.
int ExitDuringTransferChild(int com) {
  int h = Open(com, true);
  if (h < 0) return 3;
  std::thread([h] {
    uint8_t buf[4];
    api.rdW(h, 'D', 0, 2, buf);
  }).detach();
  Sleep(200);
  ExitProcess(0);
}

// Ending the process in the middle of a transfer must not hang the exit:
// the other threads are gone by the time the DLL is detached.
void ExitDuringTransfer() {
  int com = 0;
  for (const Fault &f : options.faults)
    if (f.fx && f.code == VEL_TIMEOUT) com = f.com;
  if (!com) check::Skip("no silent FX controller");
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string cmd = std::string("\"") + self + "\" --dll \"" + options.dll + "\" --exit-during-transfer " +
                    std::to_string(com);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  REQUIRE_EQ(
      1, CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) ? 1 : 0);
  DWORD waited = WaitForSingleObject(pi.hProcess, 15000);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 9);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  CHECK(waited == WAIT_OBJECT_0);
  CHECK_EQ(0, static_cast<int>(code));
}

bool ParseOptions(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : "";
    if (a != "--image" && i + 1 >= argc) return false;
    if (a == "--dll") {
      options.dll = v;
    } else if (a == "--fx") {
      options.fxCom = std::atoi(v);
    } else if (a == "--a") {
      options.aCom = std::atoi(v);
    } else if (a == "--image") {
      options.image = true;
      continue;
    } else if (a == "--exit-during-transfer") {
      options.exitChildCom = std::atoi(v);
    } else if (a == "--missing") {
      options.missingCom = std::atoi(v);
    } else if (a == "--renamed") {
      if (std::sscanf(v, "%d,%d", &options.renamedCom, &options.renamedCode) != 2) return false;
    } else if (a == "--expect") {
      int com = 0, code = 0;
      char family[8] = {}, label[64] = {};
      if (std::sscanf(v, "%d,%7[^,],%d,%63s", &com, family, &code, label) != 4) return false;
      options.faults.push_back({com, std::strcmp(family, "fx") == 0, code, label});
    } else if (a == "--refused") {
      int com = 0;
      char label[64] = {}, text[128] = {};
      if (std::sscanf(v, "%d,%63[^,],%127[^\n]", &com, label, text) != 3) return false;
      options.refusals.push_back({com, label, text});
    } else {
      return false;
    }
    i++;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (!ParseOptions(argc, argv)) {
    std::fprintf(stderr,
                 "usage: veldrv_wine_test [--dll PATH] [--fx COM] [--a COM] [--image] [--missing COM] "
                 "[--expect COM,fx|a,CODE,LABEL]... [--renamed COM,CODE] [--refused COM,LABEL,TEXT]...\n");
    return 2;
  }
  if (options.dll.empty()) options.dll = comline::DllBesideProgram();
  // These threads run before the DLL is loaded and end while it is in use.
  earlyThreadGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < kEarlyThreads; i++) {
    HANDLE t = CreateThread(nullptr, 0, EarlyThread, nullptr, 0, nullptr);
    if (t) earlyThreads.push_back(t);
  }
  if (!LoadApi(options.dll)) {
    std::printf("cannot load %s or its exports (error %lu)\n", options.dll.c_str(), GetLastError());
    std::printf("RESULT passed=0 failed=1 skipped=0\n");
    return 1;
  }

  if (options.exitChildCom) return ExitDuringTransferChild(options.exitChildCom);

  check::Runner runner;
  runner.Add("Exports.ByNameAndOrdinal", ExportsByNameAndOrdinal);
  runner.Add("Handles.OutOfRange", HandlesOutOfRange);
  runner.Add("Handles.BadPorts", HandlesBadPorts);
  runner.Add("Handles.Table", HandlesTable);
  runner.Add("Handles.Letters", HandlesLetters);
  runner.Add("Fx.PreloadedImage", [] {
    NeedPort(options.fxCom, "FX");
    PreloadedImage(options.fxCom, true);
  });
  runner.Add("Fx.AreasRoundTrip", [] {
    NeedPort(options.fxCom, "FX");
    AreasRoundTrip(options.fxCom, true);
  });
  runner.Add("Fx.SplitTransfers", [] {
    NeedPort(options.fxCom, "FX");
    SplitTransfers(options.fxCom, true);
  });
  runner.Add("Fx.TwoThreadsOnePort", [] {
    NeedPort(options.fxCom, "FX");
    TwoThreadsOnePort(options.fxCom, true);
  });
  runner.Add("A.PreloadedImage", [] {
    NeedPort(options.aCom, "A-series");
    PreloadedImage(options.aCom, false);
  });
  runner.Add("A.AreasRoundTrip", [] {
    NeedPort(options.aCom, "A-series");
    AreasRoundTrip(options.aCom, false);
  });
  runner.Add("A.SplitTransfers", [] {
    NeedPort(options.aCom, "A-series");
    SplitTransfers(options.aCom, false);
  });
  runner.Add("A.TwoThreadsOnePort", [] {
    NeedPort(options.aCom, "A-series");
    TwoThreadsOnePort(options.aCom, false);
  });
  for (const Fault &f : options.faults) runner.Add("Faults." + f.label, [f] { FaultStatus(f); });
  for (const Refusal &r : options.refusals) runner.Add("Refusals." + r.label, [r] { RefusedOpen(r); });
  runner.Add("Ports.NamedByVariable", PortsNamedByVariable);
  runner.Add("Trace.Targets", TraceTargets);
  runner.Add("Lifecycle.PreexistingThreadDetach", PreexistingThreadDetach);
  runner.Add("Lifecycle.ExclusiveOpen", ExclusiveOpen);
  runner.Add("Lifecycle.UnloadWithOpenHandle", UnloadWithOpenHandle);
  runner.Add("Lifecycle.ExitDuringTransfer", ExitDuringTransfer);
  int failed = runner.Run();
  SetEvent(earlyThreadGo);
  for (HANDLE t : earlyThreads) WaitForSingleObject(t, 10000);
  return failed == 0 ? 0 : 1;
}

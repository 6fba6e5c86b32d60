// Whole velcon sessions against the simulated controllers: every text byte
// for byte, the frames on the line and the controller memory written.
#include <gtest/gtest.h>

#include <vector>

#include "child_process.h"
#include "sim.h"
#include "velcon_texts.h"

namespace {

using velsim::Family;
using velsim::TraceKind;

// Drives a session: each Expect waits for the next output and adds it to the
// whole output the session must have printed, each Type sends input.
class Dialog {
 public:
  Dialog(const TempDir &dir, std::vector<std::string> args, const char *locale, ChildProcess::Line line) {
    ChildProcess::Setup setup;
    setup.argv = {VELCON_PATH};
    setup.argv.insert(setup.argv.end(), args.begin(), args.end());
    setup.env = {{"VELDRV_DEVICE_DIR", dir.Path()}, {"LC_ALL", locale}};
    setup.line = line;
    setup.collectErrors = line == ChildProcess::Line::kPipes;
    velcon_ = std::make_unique<ChildProcess>(setup);
  }

  void Expect(const std::string &text) {
    expected_ += text;
    if (stalled_) return;  // one report is enough; the whole output shows the rest
    stalled_ = !velcon_->WaitFor(text);
    EXPECT_FALSE(stalled_) << "waiting for:\n" << text << "\noutput so far:\n" << velcon_->Output();
  }
  void Type(const std::string &input) {
    velcon_->Send(input);
  }
  ChildProcess &Velcon() {
    return *velcon_;
  }
  // The whole output, after the program has ended.
  void ExpectWholeOutput() {
    EXPECT_EQ(velcon_->Output(), expected_);
  }

 private:
  std::unique_ptr<ChildProcess> velcon_;
  std::string expected_;
  bool stalled_ = false;
};

struct Transfer {
  TraceKind kind;
  uint16_t address;
  size_t count;
  bool operator==(const Transfer &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Transfer &t) {
  return os << (t.kind == TraceKind::Read ? "read " : "write ") << std::hex << "0x" << t.address << std::dec
            << " n=" << t.count;
}

// The reads and writes the controller served, in order.
std::vector<Transfer> Transfers(const velsim::PtyLine &line) {
  std::vector<Transfer> transfers;
  for (const velsim::TraceEntry &e : line.trace()) {
    if (e.kind == TraceKind::Read || e.kind == TraceKind::Write)
      transfers.push_back({e.kind, e.address, e.count});
  }
  return transfers;
}

std::string Words(const std::string &line) {
  return line + texts::kPressKey;
}

// All five items and an unlisted character on an FX controller at COM2 in the
// C locale, typed step by step through pipes: each prompt must have been
// flushed before velcon waits, or the session stalls.
TEST(VelconSession, FxAllItemsInCodePage850) {
  TempDir dir;
  velsim::PtyLine line(Family::Fx, dir.Path(), 2);
  line.write(0x0103, {0x5A, 0xC3});              // markers 3 and 4
  line.write(0x0080, {0x81});                    // input byte 0
  line.write(0x1014, {0x34, 0x12, 0x78, 0x56});  // D10, D11
  const std::string menu = texts::Menu(false);
  Dialog d(dir, {"com2", "fx"}, "C", ChildProcess::Line::kPipes);

  d.Expect(texts::kFxLine + texts::Banner(2, false) + menu);
  d.Type("1");
  d.Expect("Lese MerkerByte\n StartNr: ");
  d.Type("3\n");
  d.Expect("Anzahl der Bytes\n");
  d.Type("2\n");
  // The line end after the count answers the first wait.
  d.Expect(Words("MB   0 = 005a \n") + Words("MB   1 = 00c3 \n"));
  EXPECT_TRUE(d.Velcon().StaysQuiet(200ms)) << "waits for a key";
  d.Type("x");
  d.Expect(menu);

  d.Type("2");
  d.Expect("Lese Eingangsbyte\n StartNr: ");
  d.Type("0\n");
  d.Expect("Anzahl der Bytes\n");
  d.Type("1\n");
  d.Expect(Words("EB   0 = 0081 \n") + menu);

  d.Type("3");
  d.Expect("\nSchreibe Ausgangsbyte: \nStartNr: ");
  d.Type("5\n");
  d.Expect("Schreibwert: ");
  d.Type("427\n");  // 0x1AB: the low byte 0xAB is written
  d.Expect("Anzahl: ");
  d.Type("2\n");
  // The menu comes twice: its first read takes the line end.
  d.Expect("ab AB 5 , 2 Bytes geschrieben\n" + menu + menu);

  d.Type("4");
  d.Expect("Lese DReg \n\nStart ab Wort: ");
  d.Type("10\n");
  d.Expect("\nAnzahl der Worte: ");
  d.Type("2\n");
  d.Expect(Words("DW  10 = 1234               \n") + Words("DW  11 = 5678               \n"));
  d.Type("x");
  d.Expect(menu);

  d.Type("5");
  d.Expect("Schreibe DReg ab DW 0\n\nAnzahl der Worte: ");
  d.Type("3\n");
  d.Expect("\nSchreibwert: ");
  d.Type("258\n");
  d.Expect(Words("DW   0 = 0102               \n") + Words("DW   1 = 0102               \n"));
  d.Type("x");
  d.Expect(Words("DW   2 = 0102               \n"));
  d.Type("y");
  d.Expect(menu);

  // A reply with lowercase hex digits is a transmission error (-6).
  line.setFault(velsim::Fault{velsim::FaultKind::LowercaseHex}, velsim::FaultWhen::Once);
  d.Type("4");
  d.Expect("Lese DReg \n\nStart ab Wort: ");
  d.Type("10\n");
  d.Expect("\nAnzahl der Worte: ");
  d.Type("1\n");
  d.Expect(texts::Error(-6,
                        "falsches Zeichen erhalten, \x9A"
                        "bertragungsfehler") +
           menu);
  // A wrong checksum (-3) has no words of its own on the screen.
  line.setFault(velsim::Fault{velsim::FaultKind::WrongChecksum}, velsim::FaultWhen::Once);
  d.Type("4");
  d.Expect("Lese DReg \n\nStart ab Wort: ");
  d.Type("10\n");
  d.Expect("\nAnzahl der Worte: ");
  d.Type("1\n");
  d.Expect(texts::Error(-3, "Unerwarteter Fehler") + menu);

  d.Type("q");
  d.Expect(menu);
  d.Type("0");
  EXPECT_EQ(d.Velcon().WaitExit(), 0);
  d.ExpectWholeOutput();

  std::vector<Transfer> want = {{TraceKind::Read, 0x0103, 2},  {TraceKind::Read, 0x0080, 1},
                                {TraceKind::Write, 0x00A5, 2}, {TraceKind::Read, 0x1014, 4},
                                {TraceKind::Write, 0x1000, 6}, {TraceKind::Read, 0x1014, 2},
                                {TraceKind::Read, 0x1014, 2}};
  EXPECT_EQ(Transfers(line), want);
  EXPECT_EQ(line.read(0x00A4, 4), (std::vector<uint8_t>{0x00, 0xAB, 0xAB, 0x00}));
  EXPECT_EQ(line.read(0x1000, 8), (std::vector<uint8_t>{0x02, 0x01, 0x02, 0x01, 0x02, 0x01, 0x00, 0x00}));
}

// No arguments: COM1 and an A-series controller, in a UTF-8 locale on a
// terminal. Start numbers cut to 16 bits, a non-numeric entry asked again,
// counts above the buffers (as typed, also above 65535) refused without a
// frame, and the end of input at the menu ending the program as '0' does.
TEST(VelconSession, ASeriesOnTerminalInUtf8) {
  TempDir dir;
  velsim::PtyLine line(Family::A, dir.Path(), 1);
  line.write(0x88C8, {0xCD, 0xAB});  // D100
  const std::string menu = texts::Menu(true);
  Dialog d(dir, {}, "C.UTF-8", ChildProcess::Line::kTerminal);

  d.Expect(texts::Banner(1, true) + menu);
  d.Type("4\n");
  d.Expect("Lese DReg \n\nStart ab Wort: ");
  d.Type("100\n");
  d.Expect("\nAnzahl der Worte: ");
  d.Type("1\n");
  d.Expect(Words("DW 100 = abcd               \n") + menu);

  d.Type("3\n");
  d.Expect("\nSchreibe Ausgangsbyte: \nStartNr: ");
  d.Type("65538\n");  // start 2
  d.Expect("Schreibwert: ");
  d.Type("4660\n");  // 0x1234: byte 0x34
  d.Expect("Anzahl: ");
  d.Type("65537\n");  // not 1: too large
  d.Expect(
      "Anzahl 65537 ist zu gro\xC3\x9F, h\xC3\xB6"
      "chstens 1024 m\xC3\xB6glich. Nichts gesendet.\n" +
      menu + menu);
  d.Type("3\n");
  d.Expect("\nSchreibe Ausgangsbyte: \nStartNr: ");
  d.Type("65538\n");
  d.Expect("Schreibwert: ");
  d.Type("4660\n");
  d.Expect("Anzahl: ");
  d.Type("1\n");
  d.Expect("ab AB 2 , 1 Bytes geschrieben\n" + menu + menu);

  d.Type("1\n");
  d.Expect("Lese MerkerByte\n StartNr: ");
  d.Type("abc 12\n");  // the rest of the line goes with it
  d.Expect("StartNr: ");
  d.Type("7\n");
  d.Expect("Anzahl der Bytes\n");
  d.Type("1025\n");
  d.Expect(
      "Anzahl 1025 ist zu gro\xC3\x9F, h\xC3\xB6"
      "chstens 1024 m\xC3\xB6glich. Nichts gesendet.\n" +
      menu + menu);

  d.Type("5\n");
  d.Expect("Schreibe DReg ab DW 0\n\nAnzahl der Worte: ");
  d.Type("70000\n");  // refused once the value is in, so it is no menu choice
  d.Expect("\nSchreibwert: ");
  d.Type("1\n");
  d.Expect(
      "Anzahl 70000 ist zu gro\xC3\x9F, h\xC3\xB6"
      "chstens 1024 m\xC3\xB6glich. Nichts gesendet.\n" +
      menu + menu);

  d.Velcon().EndInput();
  EXPECT_EQ(d.Velcon().WaitExit(), 0);
  d.ExpectWholeOutput();

  std::vector<Transfer> want = {{TraceKind::Read, 0x88C8, 2}, {TraceKind::Write, 0x8202, 1}};
  EXPECT_EQ(Transfers(line), want);
  EXPECT_EQ(line.read(0x8201, 3), (std::vector<uint8_t>{0x00, 0x34, 0x00}));
}

// "FX COM3 A bogus": both family lines, the A-series protocol on COM1 (COM3
// is ignored, with a note on standard error for it and for "bogus"); the end
// of input at a number prompt ends the program, and its last line.
TEST(VelconSession, LaterArgumentWinsAndUnknownIsIgnored) {
  TempDir dir;
  velsim::PtyLine line(Family::A, dir.Path(), 1);
  line.write(0x8400, {0x42});  // marker byte 0
  const std::string menu = texts::Menu(false);
  Dialog d(dir, {"FX", "COM3", "A", "bogus"}, "C", ChildProcess::Line::kPipes);

  d.Expect(std::string(texts::kFxLine) + texts::kALine + texts::Banner(1, false) + menu);
  d.Type("1");
  d.Expect("Lese MerkerByte\n StartNr: ");
  d.Type("0\n");
  d.Expect("Anzahl der Bytes\n");
  d.Type("1\n");
  d.Expect(Words("MB   0 = 0042 \n") + menu);
  d.Type("2");
  d.Expect("Lese Eingangsbyte\n StartNr: ");
  d.Velcon().EndInput();
  d.Expect("\n");
  EXPECT_EQ(d.Velcon().WaitExit(), 0);
  d.ExpectWholeOutput();
  EXPECT_EQ(Transfers(line), (std::vector<Transfer>{{TraceKind::Read, 0x8400, 1}}));
  const std::string &notes = d.Velcon().Errors();
  const size_t com3 = notes.find("velcon: Argument 'COM3' wird ignoriert");
  const size_t bogus = notes.find("velcon: Argument 'bogus' wird ignoriert");
  EXPECT_EQ(com3, 0u) << notes;
  EXPECT_EQ(bogus, notes.find('\n') + 1) << "one line each:\n" << notes;
  EXPECT_EQ(notes.find('\n', bogus), notes.size() - 1) << notes;
}

}  // namespace

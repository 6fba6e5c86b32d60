#include "transfers.h"

#include <algorithm>
#include <memory>

#include "messages.h"
#include "progress.h"
#include "veldrv.h"

namespace {

// The library's largest counts of one call.
constexpr std::int64_t kMaxBytesPerCall = 0xFFFF;
constexpr std::int64_t kMaxWordsPerCall = 0x7FFF;
// A transfer longer than this on the wire shows a progress bar.
constexpr double kProgressSeconds = 1.0;
// A reason is at most 255 characters.
constexpr int kReasonBytes = 256;

}  // namespace

Link::Link(const LinkSetup &setup) : setup_(setup) {}

Link::~Link() {
  Close();
}

int Link::Open() {
  const int status = Reopen();
  if (status == 0) transfers_ = 0;
  return status;
}

int Link::Reopen() {
  Close();
  int h = VelOpen(setup_.port, setup_.fx ? 1 : 0);
  if (h < 0) return h;
  handle_ = h;
  // 0 with a text: the open succeeded, but the library has something to
  // tell (VELDRV_TRACE names a file it cannot open). Told once, however
  // often the port opens.
  static std::string told;
  char text[kReasonBytes] = "";
  if (VelReason(-1, text, sizeof text) == 0 && text[0] && told != text) {
    told = text;
    Say(text);
  }
  return 0;
}

void Link::Close() {
  if (handle_ >= 0) VelClose(handle_);
  handle_ = -1;
}

std::string Link::Reason(int status) const {
  char text[kReasonBytes] = "";
  const int code = VelReason(handle_ >= 0 ? handle_ : -1, text, sizeof text);
  if (code == status && text[0]) return text;
  std::string port = "COM" + std::to_string(setup_.port + 1);
  if (!setup_.device.empty()) port += " (" + setup_.device + ")";
  return port + ": " + VelStatusText(status);
}

int Link::Read(const operands::Span &span, std::uint8_t *buffer, std::int64_t *done) {
  return Run(false, span, buffer, done);
}

int Link::Write(const operands::Span &span, std::uint8_t *buffer, std::int64_t *done) {
  return Run(true, span, buffer, done);
}

int Link::Run(bool write, const operands::Span &span, std::uint8_t *buffer, std::int64_t *done) {
  using Call = int(VELDRV_CALL *)(int, int, int, int, void *);
  Call call = write ? (span.words ? VelWrW : VelWrB) : (span.words ? VelRdW : VelRdB);
  const int unitBytes = span.words ? 2 : 1;
  std::int64_t chunk = span.words ? kMaxWordsPerCall : kMaxBytesPerCall;
  std::unique_ptr<Progress> progress;
  if (setup_.progress && WireSeconds(setup_.fx, span.bytes, setup_.frameBytes) > kProgressSeconds) {
    // One frame a call: the library cuts the same frames, and the bar moves
    // after each of them.
    chunk = std::max(1, setup_.frameBytes / unitBytes);
    progress = std::make_unique<Progress>(span.bytes);
    progress->Update(0);
  }
  ++transfers_;
  *done = 0;
  int status = 0;
  for (std::int64_t at = 0; at < span.units && status == 0; at += chunk) {
    std::int64_t n = std::min(chunk, span.units - at);
    status = call(handle_, span.letter, static_cast<int>(span.start + at), static_cast<int>(n),
                  buffer + at * unitBytes);
    if (status == 0) *done = (at + n) * unitBytes;
    if (progress && status == 0) progress->Update(*done);
  }
  if (progress) progress->Clear();
  return status;
}

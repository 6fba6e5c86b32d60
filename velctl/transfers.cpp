#include "transfers.h"

#include <algorithm>
#include <memory>

#include "progress.h"
#include "veldrv.h"

namespace {

// The library's largest counts of one call.
constexpr std::int64_t kMaxBytesPerCall = 0xFFFF;
constexpr std::int64_t kMaxWordsPerCall = 0x7FFF;
// A transfer longer than this on the wire shows a progress bar.
constexpr double kProgressSeconds = 1.0;

bool Fits(std::uint64_t controllerAddress, std::uint64_t bytes, const std::string &what, std::string *error) {
  if (controllerAddress + bytes <= kMemoryBytes) return true;
  *error = what + " runs past the end of controller memory (0xFFFF)";
  return false;
}

}  // namespace

std::optional<Region> ValueRegion(const Address &first, ValueType type, std::uint64_t count, bool fx,
                                  std::string *error) {
  Region region;
  region.letter = first.letter;
  std::uint64_t base = AreaBase(first.area, fx);
  std::uint64_t address;
  std::string what = "'" + OperandName(first, first.number) + "' with " + std::to_string(count) + " " +
                     TypeName(type) + " value" + (count == 1 ? "" : "s");
  if (type == ValueType::Bits) {
    std::uint64_t firstByte = first.number / 8, lastByte = (first.number + count - 1) / 8;
    region.start = static_cast<std::int64_t>(firstByte);
    region.units = static_cast<std::int64_t>(lastByte - firstByte + 1);
    address = base + firstByte;
  } else if (first.area == Area::Data) {
    region.words = true;
    region.start = first.number;
    region.units =
        static_cast<std::int64_t>(count * static_cast<std::uint64_t>(ValueBytes(type, first.area)) / 2);
    address = base + 2 * std::uint64_t{first.number};
  } else {
    region.start = first.number;
    region.units =
        static_cast<std::int64_t>(count * static_cast<std::uint64_t>(ValueBytes(type, first.area)));
    address = base + first.number;
  }
  if (!Fits(address, static_cast<std::uint64_t>(region.bytes()), what, error)) return std::nullopt;
  return region;
}

std::optional<Region> ByteRegion(const Address &first, std::uint64_t bytes, bool fx, std::string *error) {
  Region region;
  region.letter = first.letter;
  std::uint64_t offset = first.area == Area::Data ? 2 * std::uint64_t{first.number} : first.number;
  region.start = static_cast<std::int64_t>(offset);
  region.units = static_cast<std::int64_t>(bytes);
  std::string what = "'" + OperandName(first, first.number) + "' with " + std::to_string(bytes) + " bytes";
  if (!Fits(AreaBase(first.area, fx) + offset, bytes, what, error)) return std::nullopt;
  return region;
}

Link::Link(const LinkSetup &setup) : setup_(setup) {}

Link::~Link() {
  if (handle_ >= 0) VelClose(handle_);
}

int Link::Open() {
  int h = VelOpen(setup_.port, setup_.fx ? 1 : 0);
  if (h < 0) return h;
  handle_ = h;
  return 0;
}

int Link::Read(const Region &region, std::uint8_t *buffer, std::int64_t *done) {
  return Run(false, region, buffer, done);
}

int Link::Write(const Region &region, std::uint8_t *buffer, std::int64_t *done) {
  return Run(true, region, buffer, done);
}

int Link::Run(bool write, const Region &region, std::uint8_t *buffer, std::int64_t *done) {
  using Call = int(VELDRV_CALL *)(int, int, int, int, void *);
  Call call = write ? (region.words ? VelWrW : VelWrB) : (region.words ? VelRdW : VelRdB);
  int unitBytes = region.words ? 2 : 1;
  std::int64_t chunk = region.words ? kMaxWordsPerCall : kMaxBytesPerCall;
  std::unique_ptr<Progress> progress;
  if (setup_.progress && WireSeconds(setup_.fx, region.bytes(), setup_.frameBytes) > kProgressSeconds) {
    // One frame a call: the library cuts the same frames, and the bar moves
    // after each of them.
    chunk = std::max(1, setup_.frameBytes / unitBytes);
    progress = std::make_unique<Progress>(region.bytes());
    progress->Update(0);
  }
  *done = 0;
  int status = 0;
  for (std::int64_t at = 0; at < region.units && status == 0; at += chunk) {
    std::int64_t n = std::min(chunk, region.units - at);
    status = call(handle_, region.letter, static_cast<int>(region.start + at), static_cast<int>(n),
                  buffer + at * unitBytes);
    if (status == 0) *done = (at + n) * unitBytes;
    if (progress && status == 0) progress->Update(*done);
  }
  if (progress) progress->Clear();
  return status;
}

// Arbitrary bytes from a server through the telnet layer of rfc2217://
// ports, cut into arbitrary reads: what comes out must not depend on where
// the reads were cut, never exceed what went in, and every option request
// gets an answer of 0 or 3 bytes that a second identical request does not
// repeat for the options the client takes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "serial/telnet.h"

namespace {

struct Seen {
  std::string events;
  telnet::Options options;
};

void Note(void *context, const telnet::Event &e) {
  Seen &seen = *static_cast<Seen *>(context);
  seen.events += static_cast<char>(e.kind);
  seen.events += static_cast<char>(e.verb);
  seen.events += static_cast<char>(e.option);
  seen.events += static_cast<char>(e.cut);
  if (e.kind == telnet::Event::kSubnegotiation) {
    FUZZ_CHECK(e.length < telnet::kKeptBytes, "%u bytes of a subnegotiation kept", e.length);
    seen.events.append(reinterpret_cast<const char *>(e.value), e.length);
  }
  if (e.kind == telnet::Event::kOption) {
    uint8_t reply[3];
    const size_t n = telnet::Answer(seen.options, e.verb, e.option, reply);
    FUZZ_CHECK(n == 0 || n == 3, "an answer of %zu bytes", n);
    const bool theirs = e.verb == telnet::kWill || e.verb == telnet::kWont;
    const bool taken = e.option == telnet::kBinary || e.option == telnet::kSuppressGoAhead ||
                       (!theirs && e.option == telnet::kComPort);
    if (n && taken) {
      const size_t again = telnet::Answer(seen.options, e.verb, e.option, reply);
      FUZZ_CHECK(again == 0, "option %u answered twice to %s", e.option, telnet::VerbName(e.verb));
    }
  }
}

std::string Decode(const std::vector<uint8_t> &stream, const std::vector<size_t> &cuts) {
  telnet::Decoder decoder{};
  Seen seen{};
  std::string data;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t end : ends) {
    std::vector<uint8_t> piece(stream.begin() + static_cast<long>(from),
                               stream.begin() + static_cast<long>(end));
    const size_t n = telnet::TakeOut(decoder, piece.data(), piece.size(), Note, &seen);
    FUZZ_CHECK(n <= piece.size(), "%zu data bytes out of %zu", n, piece.size());
    data.append(reinterpret_cast<const char *>(piece.data()), n);
    from = end;
  }
  return seen.events + '|' + data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  FuzzedDataProvider fdp(bytes, size);
  const int pieces = fdp.ConsumeIntegralInRange(0, 8);
  std::vector<size_t> cuts;
  const std::vector<uint8_t> stream = fdp.ConsumeRemainingBytes<uint8_t>();
  for (int i = 0; i < pieces && !stream.empty(); i++)
    cuts.push_back(static_cast<size_t>(stream[static_cast<size_t>(i) % stream.size()]) % (stream.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  FUZZ_CHECK(Decode(stream, cuts) == Decode(stream, {}), "the result depends on where the reads were cut");
  return 0;
}

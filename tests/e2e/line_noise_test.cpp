// A noisy line: random transfers through the exports while the simulator
// garbles one answer in most of them (garbage bytes before or after it, a byte
// dropped, duplicated or held back past the byte time-out). Every transfer must
// end with 0, -1, -6 (or -3 on an FX read), and a transfer that reports success
// must have moved the right bytes: a read equals the controller's memory, a
// write is in it. Fixed seed; the outcome counts are printed.
//
// An FX write meets one limit of its protocol: the ACK to a write frame is the
// same byte as the ACK to ENQ, so an extra 0x06 on the line is taken as the
// write ACK before the controller has answered. The purge that opens the next
// frame lets the rest of the request go out first, so the data still arrives
// whole; what the library cannot see then is a NAK to that frame.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

#include "e2e_fixture.h"

using namespace e2e;
using velsim::Family;
using velsim::Fault;
using velsim::FaultWhen;

namespace {

constexpr int kTransfers = 150;                        // per family
constexpr auto kTimeLimit = std::chrono::seconds(75);  // bound on a very slow machine
constexpr int kMaxBytes = 600;                         // up to three frames

enum class Noise { None, GarbageBefore, GarbageAfter, Drop, Duplicate, Delay };
const char *NoiseName(Noise n) {
  switch (n) {
  case Noise::None:
    return "none";
  case Noise::GarbageBefore:
    return "garbage-before";
  case Noise::GarbageAfter:
    return "garbage-after";
  case Noise::Drop:
    return "drop";
  case Noise::Duplicate:
    return "duplicate";
  case Noise::Delay:
    return "delay";
  }
  return "?";
}

template <Family F, int Com>
class Noisy : public SharedLink<F, Com> {
 protected:
  using Base = SharedLink<F, Com>;

  // Garbage that looks like protocol: control characters, hex digits, markers, or anything.
  Bytes Garbage() {
    static const uint8_t special[] = {0x02, 0x03, 0x05, 0x06, 0x15, '0', '7',
                                      'A',  'F',  0xFF, 0x00, 0xAA, 0x5A};
    Bytes g(std::uniform_int_distribution<size_t>(1, 4)(rng));
    for (uint8_t &b : g)
      b = coin(rng) ? special[std::uniform_int_distribution<size_t>(0, sizeof special - 1)(rng)]
                    : static_cast<uint8_t>(rng());
    return g;
  }

  // One noise fault on one frame of the coming transfer, or none.
  Noise Arm(bool write, int bytes) {
    const bool fx = F == Family::Fx;
    std::discrete_distribution<int> pick({30, 20, 15, 10, 20, 5});
    const Noise noise = static_cast<Noise>(pick(rng));
    if (noise == Noise::None) return noise;
    const int frames = (bytes + 253) / 254;
    const int k = std::uniform_int_distribution<int>(1, frames)(rng);
    const int n = k < frames ? 254 : bytes - 254 * (frames - 1);
    // FX: the ACK to ENQ; A: the two handshake bytes, sent only after a failure.
    const bool handshake = std::uniform_int_distribution<int>(0, 3)(rng) == 0;
    size_t length = handshake ? (fx ? 1 : 2) : write ? (fx ? 1 : 5) : (fx ? 2 * n + 4 : n + 5);
    const size_t index = std::uniform_int_distribution<size_t>(0, length - 1)(rng);
    Fault f;
    switch (noise) {
    case Noise::GarbageBefore:
      f = Fault::garbageBefore(Garbage(), handshake);
      break;
    case Noise::GarbageAfter:
      f = Fault::garbageAfter(Garbage(), handshake);
      break;
    case Noise::Drop:
      f = Fault::drop(index, handshake);
      break;
    case Noise::Duplicate:
      f = Fault::duplicate(index, handshake);
      break;
    case Noise::Delay:
      f = Fault::delay(index, std::uniform_int_distribution<uint32_t>(1000, 1300)(rng), handshake);
      break;
    case Noise::None:
      break;
    }
    Base::line->setFault(f, FaultWhen::OnFrame, Base::line->frames() + static_cast<uint64_t>(k));
    return noise;
  }

  void Run() {
    auto &line = Base::line;
    const int h = Base::handle;
    const bool fx = F == Family::Fx;
    std::map<Noise, std::map<int, int>> outcomes;  // noise -> status -> count
    int wrongData = 0, badStatus = 0, done = 0;
    const bool verbose = std::getenv("VELDRV_NOISE_VERBOSE") != nullptr;  // every transfer and its trace
    const auto start = std::chrono::steady_clock::now();
    for (; done < kTransfers && std::chrono::steady_clock::now() - start < kTimeLimit; done++) {
      const bool write = coin(rng);
      const bool words = coin(rng);
      int bytes = std::uniform_int_distribution<int>(1, kMaxBytes)(rng);
      if (words) bytes = (bytes + 1) & ~1;
      const auto address = static_cast<uint16_t>(std::uniform_int_distribution<int>(0x1000, 0x6FFF)(rng));
      ASSERT_TRUE(line->settle(std::chrono::milliseconds(3000)));
      const Noise noise = Arm(write, bytes);
      Bytes buffer(static_cast<size_t>(bytes), 0xEE);
      Bytes data = Pattern(static_cast<size_t>(bytes), static_cast<uint8_t>(rng()));
      int status;
      if (write) {
        status = words ? VelWrW(h, 'S', address, bytes / 2, data.data())
                       : VelWrB(h, 'S', address, bytes, data.data());
      } else {
        status = words ? VelRdW(h, 'S', address, bytes / 2, buffer.data())
                       : VelRdB(h, 'S', address, bytes, buffer.data());
      }
      // Held-back bytes go out late: wait until the controller has sent everything.
      ASSERT_TRUE(line->settle(std::chrono::milliseconds(3000)));
      line->clearFaults();
      outcomes[noise][status]++;
      if (verbose) {
        std::printf("%3d %s%c %3d at 0x%04X %-14s -> %d\n", done, write ? "Wr" : "Rd", words ? 'W' : 'B',
                    bytes, address, NoiseName(noise), status);
        for (const velsim::TraceEntry &e : line->trace()) std::printf("      %s\n", e.text.c_str());
      }
      line->clearTrace();
      const bool allowed = status == VEL_OK || status == VEL_TIMEOUT || status == VEL_WRONG_CHAR ||
                           (fx && !write && status == VEL_CHECKSUM);
      if (!allowed) {
        badStatus++;
        ADD_FAILURE() << "transfer " << done << " (" << NoiseName(noise) << ") returned " << status;
      }
      if (status == VEL_OK &&
          (write ? line->read(address, data.size()) != data : buffer != line->read(address, buffer.size()))) {
        wrongData++;
        ADD_FAILURE() << "transfer " << done << ": success with wrong data, " << (write ? "write" : "read")
                      << " of " << bytes << " bytes at " << address << ", noise " << NoiseName(noise);
      }
    }
    std::printf("%s line noise: %d transfers in %.1f s (seed %u)\n", velsim::familyName(F), done,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), kSeed);
    std::printf("  %-15s %6s %6s %6s %6s\n", "noise", "0", "-1", "-6", "-3");
    std::map<int, int> total;
    for (auto &[noise, counts] : outcomes) {
      std::printf("  %-15s %6d %6d %6d %6d\n", NoiseName(noise), counts[0], counts[-1], counts[-6],
                  counts[-3]);
      for (auto &[s, c] : counts) total[s] += c;
    }
    std::printf("  %-15s %6d %6d %6d %6d\n", "all", total[0], total[-1], total[-6], total[-3]);
    std::printf("  wrong status %d, success with wrong data %d", badStatus, wrongData);
    std::printf("\n");
    EXPECT_GE(done, 100) << "too few transfers within the time limit";
    EXPECT_GT(total[0], done / 3) << "the link should mostly work between noise";
    // After the noise, a clean transfer works.
    Bytes data = Pattern(600, 1), back(600);
    EXPECT_EQ(VelWrB(h, 'S', 0x7000, 600, data.data()), VEL_OK);
    EXPECT_EQ(VelRdB(h, 'S', 0x7000, 600, back.data()), VEL_OK);
    EXPECT_EQ(back, data);
  }

  static constexpr unsigned kSeed = 20240611u + static_cast<unsigned>(F);
  std::mt19937 rng{kSeed};
  std::bernoulli_distribution coin{0.5};
};

using FxNoise = Noisy<Family::Fx, 3>;
using ANoise = Noisy<Family::A, 4>;

TEST_F(FxNoise, EveryTransferFailsCleanlyOrMovesTheRightBytes) {
  Run();
}

TEST_F(ANoise, EveryTransferFailsCleanlyOrMovesTheRightBytes) {
  Run();
}

}  // namespace

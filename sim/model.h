// FX controller models the simulator can play: their special registers and
// device ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velsim {

// The highest device number of a kind that a model has.
struct DeviceLimit {
  char device;  // X, Y (octal), M, S, T, D
  std::uint32_t last;
};

struct Model {
  const char *name;     // "fx2n", as --model takes it
  const char *shown;    // "FX2N"
  std::uint16_t d8001;  // model and version code
  std::uint16_t d8002;  // program memory: 2, 4 or 8 (thousand steps; 8 for 8K and more)
  DeviceLimit limits[6];
};

// None for a name that is no model.
const Model *findModel(std::string_view name);
// "fx0n, fx1s, fx1n, fx2n, fx3u"
std::string modelNames();

// The devices a frame at address with n bytes touches, for the trace:
// "M24..M31", "D100..D101", with a note on devices the model lacks
// ("M512..M519, not on an FX1S (M0..M511)"), blocks apart by "; ". Empty
// where no device lies.
std::string devicesTouched(const Model &model, std::uint16_t address, std::size_t n);

// Where the model's special devices lie.
constexpr std::uint16_t kD8001 = 0x0E02, kD8002 = 0x0E04, kM8000Byte = 0x01E0, kT0Value = 0x0800;

}  // namespace velsim

#include "model.h"

#include "operands.h"

namespace velsim {

namespace {

// D8001 holds the model in its upper digits and the version in the lower
// three: 24310 is an FX2N of version 3.10 (FX1S 22xxx, FX1N 26xxx). The FX3U
// reports the FX2N code there. Device ranges are those of the base units.
const Model kModels[] = {
    {"fx0n", "FX0N", 20100, 2, {{'X', 0177}, {'Y', 0177}, {'M', 511}, {'S', 127}, {'T', 63}, {'D', 255}}},
    {"fx1s", "FX1S", 22100, 2, {{'X', 017}, {'Y', 015}, {'M', 511}, {'S', 127}, {'T', 63}, {'D', 255}}},
    {"fx1n", "FX1N", 26100, 8, {{'X', 0177}, {'Y', 0177}, {'M', 1535}, {'S', 999}, {'T', 255}, {'D', 7999}}},
    {"fx2n", "FX2N", 24310, 8, {{'X', 0377}, {'Y', 0377}, {'M', 3071}, {'S', 999}, {'T', 255}, {'D', 7999}}},
    {"fx3u", "FX3U", 24100, 8, {{'X', 0377}, {'Y', 0377}, {'M', 7679}, {'S', 4095}, {'T', 511}, {'D', 7999}}},
};

}  // namespace

const Model *findModel(std::string_view name) {
  for (const Model &m : kModels)
    if (name == m.name) return &m;
  return nullptr;
}

std::string modelNames() {
  std::string names;
  for (const Model &m : kModels) names += std::string(names.empty() ? "" : ", ") + m.name;
  return names;
}

std::string devicesTouched(const Model &model, std::uint16_t address, std::size_t n) {
  std::string text;
  for (const operands::DeviceRun &run : operands::FxDevicesAt(address, static_cast<std::uint32_t>(n))) {
    if (!text.empty()) text += "; ";
    text += operands::DeviceRunName(run);
    for (const DeviceLimit &limit : model.limits) {
      // Special markers and registers (8000 and up) are every model's.
      if (limit.device != run.device || run.last <= limit.last || run.first >= 8000) continue;
      operands::DeviceRun own{run.device, 0, limit.last, run.octal, false};
      text += std::string(run.first > limit.last ? ", not on an " : ", partly beyond an ") + model.shown +
              " (" + operands::DeviceRunName(own) + ")";
    }
  }
  return text;
}

}  // namespace velsim

#include "family.h"

namespace velsim {

const char *familyName(Family family) {
  return family == Family::Fx ? "FX" : "A";
}

}  // namespace velsim

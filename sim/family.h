// Controller families served by the simulator.
#pragma once

namespace velsim {

enum class Family { Fx, A };

// "FX" or "A".
const char *familyName(Family family);

}  // namespace velsim

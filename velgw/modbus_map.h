// Which tag serves a Modbus address: per unit and table, the tags' ranges
// in address order.
#pragma once

#include <array>
#include <vector>

#include "config.h"

namespace velgw {

struct MappedRange {
  int first = 0, last = 0;  // Modbus addresses, inclusive
  int tag = 0;              // index into the controller's tags
};

class ModbusMap {
 public:
  explicit ModbusMap(const Config &config);

  // The controller served as this unit, or -1.
  int ControllerOfUnit(int unit) const {
    return unit >= 0 && unit < 256 ? units_[static_cast<std::size_t>(unit)] : -1;
  }
  // The range holding the address, or null.
  const MappedRange *Find(int controller, Table table, int address) const;

 private:
  std::array<int, 256> units_;
  // [controller][table]: ranges sorted by first address.
  std::vector<std::array<std::vector<MappedRange>, 5>> ranges_;
};

}  // namespace velgw

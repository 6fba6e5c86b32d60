#include "modbus_map.h"

#include <algorithm>

namespace velgw {

ModbusMap::ModbusMap(const Config &config) {
  units_.fill(-1);
  for (std::size_t c = 0; c < config.controllers.size(); c++) {
    const ControllerConfig &controller = config.controllers[c];
    if (controller.unit > 0) units_[static_cast<std::size_t>(controller.unit)] = static_cast<int>(c);
    auto &tables = ranges_.emplace_back();
    for (std::size_t t = 0; t < controller.tags.size(); t++) {
      const TagConfig &tag = controller.tags[t];
      if (tag.table == Table::None) continue;
      const int last = tag.offset + tag.count * TypeRegisters(tag.type) - 1;
      tables[static_cast<std::size_t>(tag.table)].push_back({tag.offset, last, static_cast<int>(t)});
    }
    for (auto &ranges : tables)
      std::sort(ranges.begin(), ranges.end(),
                [](const MappedRange &a, const MappedRange &b) { return a.first < b.first; });
  }
}

const MappedRange *ModbusMap::Find(int controller, Table table, int address) const {
  const auto &ranges = ranges_[static_cast<std::size_t>(controller)][static_cast<std::size_t>(table)];
  auto after = std::upper_bound(ranges.begin(), ranges.end(), address,
                                [](int a, const MappedRange &r) { return a < r.first; });
  if (after == ranges.begin()) return nullptr;
  const MappedRange &r = *(after - 1);
  return address <= r.last ? &r : nullptr;
}

}  // namespace velgw

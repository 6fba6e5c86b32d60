// The benchmark sections; each adds its rows to the table.
#pragma once

#include <string>

#include "result_table.h"

namespace bench {

struct Options {
  std::string velsim;       // the velsim program
  std::string nodeModules;  // a node_modules folder holding node-fxplc; empty: peer comparison skipped
  std::string nodeScript;   // node_fxplc_reads.js
  std::string nodeSkipReason;
};

// Reads and writes of 2 .. 4096 bytes against paced velsim processes: time over wire time, and the
// benchmark process's CPU load during the 4096-byte transfers.
void PacedTransfers(const Options &options, ResultTable &table);
// Reads from a silent controller: time until the time-out status.
void TimeoutPrecision(const Options &options, ResultTable &table);
// 254-byte frames on an unpaced pseudo-terminal: the cost of library and simulator together.
void UnpacedOverhead(const Options &options, ResultTable &table);
// 1, 4 and 16 paced ports at once: aggregate throughput.
void PortScaling(const Options &options, ResultTable &table);
// TCP segments per frame and per transfer, counted on the simulator's side.
void TcpSegments(const Options &options, ResultTable &table);
// Two ports opened from two threads against one port alone.
void ParallelOpens(const Options &options, ResultTable &table);
// node-fxplc and the library reading the same paced FX simulator.
void NodePeer(const Options &options, ResultTable &table);
// velgw: Modbus latency against a plain libmodbus server, 16 paced controllers against one, CPU,
// MQTT publish rate (built with velgw only).
void GatewaySection(const Options &options, ResultTable &table);

}  // namespace bench

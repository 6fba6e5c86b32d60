// What a TCP connection has received, as the kernel counts it.
#pragma once
#include <cstdint>

// The segments with data that arrived on the connected socket fd; 0 when
// the kernel does not tell.
std::uint64_t DataSegmentsIn(int fd);

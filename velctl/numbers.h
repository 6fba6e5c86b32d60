// Numbers as velctl takes them on its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Decimal or 0x hex digits without a sign, at most max.
std::optional<std::uint64_t> ParseCount(std::string_view text, std::uint64_t max);

// The controller has 64 KiB of memory; nothing velctl sends may run past it.
constexpr std::uint64_t kMemoryBytes = 0x10000;

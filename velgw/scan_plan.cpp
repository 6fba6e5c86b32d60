#include "scan_plan.h"

#include <algorithm>
#include <tuple>

namespace velgw {

namespace {

// Tags in one block are reached the same way and may be read together.
auto BlockKey(const TagConfig &tag) {
  return std::make_tuple(tag.span.letter, tag.op.base, tag.op.first, tag.op.device);
}

// The device `advance` devices after the tag's first, in the tag's own units.
operands::Operand Advanced(const TagConfig &tag, int elements) {
  operands::Operand op = tag.op;
  std::uint32_t devices;
  if (tag.type == ValueType::Bool) {
    devices = static_cast<std::uint32_t>(elements);
  } else {
    const std::uint32_t bytes = static_cast<std::uint32_t>(elements * TypeBytes(tag.type));
    switch (tag.op.kind) {
    case operands::Kind::Bit:
      devices = bytes * 8;
      break;
    case operands::Kind::Word:
      devices = bytes / 2;
      break;
    case operands::Kind::Long:
      devices = bytes / 4;
      break;
    default:
      devices = bytes;
    }
  }
  op.number += devices;
  return op;
}

operands::Span Reach(const ControllerConfig &controller, const operands::Operand &op, std::uint64_t bytes,
                     bool legacyAreas) {
  std::string error;
  auto span = operands::SpanOf(op, bytes, controller.family, legacyAreas, &error);
  // The configuration checked every tag's whole span; a part of it fits too.
  return span ? *span : operands::Span{};
}

}  // namespace

std::vector<PlannedRead> PlanReads(const ControllerConfig &controller, const std::vector<int> &tags,
                                   int frameBytes, bool legacyAreas) {
  std::vector<int> order = tags;
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    const TagConfig &x = controller.tags[static_cast<std::size_t>(a)];
    const TagConfig &y = controller.tags[static_cast<std::size_t>(b)];
    return std::make_tuple(BlockKey(x), x.span.address, a) < std::make_tuple(BlockKey(y), y.span.address, b);
  });
  std::vector<PlannedRead> reads;
  const TagConfig *first = nullptr;  // the first tag of the read being built
  std::uint32_t start = 0, end = 0;
  auto finish = [&] {
    if (!first) return;
    reads.back().span = Reach(controller, first->op, end - start, legacyAreas);
  };
  for (int index : order) {
    const TagConfig &tag = controller.tags[static_cast<std::size_t>(index)];
    const std::uint32_t tagStart = tag.span.address, tagEnd = tag.span.address + tag.span.bytes;
    const bool joins = first && BlockKey(*first) == BlockKey(tag) && tagStart <= end + kJoinGap &&
                       std::max(end, tagEnd) - start <= static_cast<std::uint32_t>(frameBytes);
    if (!joins) {
      finish();
      reads.emplace_back();
      first = &tag;
      start = tagStart;
      end = tagEnd;
    }
    end = std::max(end, tagEnd);
    reads.back().parts.push_back({index, static_cast<int>(tagStart - start)});
  }
  finish();
  std::sort(reads.begin(), reads.end(),
            [](const PlannedRead &a, const PlannedRead &b) { return a.span.address < b.span.address; });
  return reads;
}

operands::Span ElementSpan(const ControllerConfig &controller, const TagConfig &tag, int first, int count,
                           bool legacyAreas) {
  const operands::Operand op = Advanced(tag, first);
  const std::uint64_t bytes =
      tag.type == ValueType::Bool
          ? operands::BitBytes(op, static_cast<std::uint64_t>(count))
          : static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(TypeBytes(tag.type));
  return Reach(controller, op, bytes, legacyAreas);
}

}  // namespace velgw

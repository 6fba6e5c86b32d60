// Which transfers read a set of tags: neighbouring tags of one device block
// are joined into one read as long as it fits a frame.
#pragma once

#include <vector>

#include "config.h"

namespace velgw {

// A gap of up to this many bytes between two tags is read along: on either
// line it costs less than the frame that reading them apart would add.
constexpr int kJoinGap = 8;

struct PlannedRead {
  operands::Span span;  // the transfer
  struct Part {
    int tag;     // index into the controller's tags
    int offset;  // where the tag's span starts in the transfer
  };
  std::vector<Part> parts;
};

// The reads for the tags (indexes into controller.tags), in address order.
// A tag larger than a frame is read alone (the library cuts it into frames).
std::vector<PlannedRead> PlanReads(const ControllerConfig &controller, const std::vector<int> &tags,
                                   int frameBytes, bool legacyAreas);

// The run of `bytes` bytes from the tag's element `first` on (bool: the
// bytes holding `count` bits from element `first`), as the exports reach it.
operands::Span ElementSpan(const ControllerConfig &controller, const TagConfig &tag, int first, int count,
                           bool legacyAreas);

}  // namespace velgw

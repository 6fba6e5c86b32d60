// Linux's own tcp_info (glibc's lacks the segment counts); kept apart from
// <netinet/tcp.h>, whose definitions it would clash with.
#include "tcp_segments.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::uint64_t DataSegmentsIn(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
  return info.tcpi_data_segs_in;
}

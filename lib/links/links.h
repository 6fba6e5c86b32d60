// Controller links: one PlcLink per port, the port's family, and transfers
// with the port locked. Results: 0 or a negative status code.
#pragma once
#include <cstdint>

#include "plc_link.h"

PlcLink *LinkLookup(int port);
int LinkOpenFx(int port);
int LinkOpenA(int port);
int LinkClose(int port);
bool LinkIsA(int port);  // the port's family flag

int AreaReadBytes(int letter, int port, int start, int count, void *buffer);
int AreaWriteBytes(int letter, int port, int start, int count, void *buffer);
int AreaReadWords(int letter, int port, int start, int count, void *buffer);
int AreaWriteWords(int letter, int port, int start, int count, void *buffer);

int RawReadBytes(int port, int64_t address, int count, void *buffer);
int RawWriteBytes(int port, int64_t address, int count, void *buffer);
int RawReadWords(int port, int64_t address, int count, void *buffer);
int RawWriteWords(int port, int64_t address, int count, void *buffer);

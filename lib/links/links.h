// Controller links: one PlcLink per port, the port's family, and transfers
// with the port locked. Results: 0 or a negative status code.
#pragma once
#include <cstdint>

#include "areas.h"
#include "plc_link.h"

PlcLink *LinkLookup(int port);
// An open on a port that is open for the other family fails with -4 and
// changes nothing. LinkOpenFx reads VELDRV_FX_AREAS into *areas.
int LinkOpenFx(int port, FxAreas *areas = nullptr);
int LinkOpenA(int port);
int LinkClose(int port);
bool LinkIsA(int port);  // the port's family flag

// fxAreas: where the FX letters X, Y and M point (ignored for A-series).
int AreaReadBytes(int letter, int port, int start, int count, void *buffer,
                  FxAreas fxAreas = FxAreas::kController);
int AreaWriteBytes(int letter, int port, int start, int count, void *buffer,
                   FxAreas fxAreas = FxAreas::kController);
int AreaReadWords(int letter, int port, int start, int count, void *buffer,
                  FxAreas fxAreas = FxAreas::kController);
int AreaWriteWords(int letter, int port, int start, int count, void *buffer,
                   FxAreas fxAreas = FxAreas::kController);

int RawReadBytes(int port, int64_t address, int count, void *buffer);
int RawWriteBytes(int port, int64_t address, int count, void *buffer);
int RawReadWords(int port, int64_t address, int count, void *buffer);
int RawWriteWords(int port, int64_t address, int count, void *buffer);

// The library's settings for each controller's link. The library reads
// VELDRV_COM<n>, VELDRV_FX_AREAS and VELDRV_FRAME_BYTES from the environment
// at every open, so links are opened one at a time with the settings of their
// controller in place.
#pragma once

#include <string>

#include "config.h"

namespace velgw {

// Notes the settings velgw was started with and makes sure each of those
// variables exists (empty counts as unset for the library), so that later
// changes only replace values. Call once, before any other thread starts.
void CaptureEnvironment();

// Opens the controller's link: a handle, or a negative status with *reason
// set to the library's words.
int OpenLink(const ControllerConfig &controller, std::string *reason);

// The largest frame and the FX area map the controller's link uses.
int FrameBytes(const ControllerConfig &controller);
bool LegacyAreas(const ControllerConfig &controller);

// "COM1", or "COM3 (tcp://10.0.0.5:4001)" for a device velgw names.
std::string PortName(const ControllerConfig &controller);

}  // namespace velgw

// Controller simulator: FX and A-series controllers, pseudo-terminal and TCP lines, faults, traces.
#pragma once

#include "a_controller.h"
#include "controller.h"
#include "family.h"
#include "fault.h"
#include "fx_controller.h"
#include "line_server.h"
#include "model.h"
#include "pty_line.h"
#include "rfc2217_line.h"
#include "tcp_address.h"
#include "tcp_line.h"
#include "trace.h"

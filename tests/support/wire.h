// Client-side helpers for tests that talk to the control socket.
#pragma once

#include <cstdint>

#include "mox.h"

// A connect record with every field given.
Mox_Connect make_record(uint16_t event_mask, uint16_t default_mask, uint16_t min_mod,
                        uint16_t max_mod, int32_t pid, int32_t vc);

// A new stream socket connected to CONTROL_SOCKET_PATH, or -1.
int connect_control();

// True when fd becomes readable (data, end of stream or error) within ms.
bool readable(int fd, int ms);

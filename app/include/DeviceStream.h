#pragma once
// A stdio stream over a PAPPL device, so the core writes the printer stream to the device
// as it writes it to a file.

#include <pappl/pappl.h>

#include <cstdio>

// Null when the stream cannot be made. Closing it flushes it; the device stays open.
FILE *OpenDeviceStream(pappl_device_t *device);

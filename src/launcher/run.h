#pragma once

#include <stdint.h>

// The launcher's whole life; its result is the process exit code.
uint32_t run_launcher();

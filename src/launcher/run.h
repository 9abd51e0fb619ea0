#pragma once

#include <cstdint>

// The launcher's whole life; its result is the process exit code.
std::uint32_t run_launcher();

// Starting the HMCI client library in a process: what a process that carries
// the library does once before any client is opened.
#pragma once

#include <cstdint>

// Initialises the library and registers every HMX transport the platform
// offers, handing each the library's receive path. 0, or the first
// registration failure. Idempotent: a transport already registered stays.
std::int32_t hmx_cci_library_start();

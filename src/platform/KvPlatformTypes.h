#pragma once

// The few Windows types that the program's logic is written in. On Windows
// they are the real ones; elsewhere they are stand-ins of the same width, so
// that the logic reads the same on every platform.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cstdint>

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using HANDLE = void *;

// Stands for "no handle" where a call returns INVALID_HANDLE_VALUE rather than
// NULL (tool-help snapshots).
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#endif

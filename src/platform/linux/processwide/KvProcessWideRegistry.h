#pragma once

// A tiny shared library whose only job is to exist once per process. Modules
// that each carry their own copy of the program's static libraries all link
// this one dynamically, and the dynamic loader maps a library only once per
// process, so the names registered here are seen by every module -- the
// Linux counterpart of a window class registered with the process.

#ifdef __cplusplus
extern "C" {
#endif

#define KV_PROCESS_WIDE_EXPORT __attribute__((visibility("default")))

// The value registered under name, in *value; false when nothing is.
KV_PROCESS_WIDE_EXPORT int kvProcessWideFind(const char *name, void **value);

// Registers value under name; false when the name is taken or memory is short.
// Registrations last until the process ends.
KV_PROCESS_WIDE_EXPORT int kvProcessWideRegister(const char *name, void *value);

#ifdef __cplusplus
}
#endif

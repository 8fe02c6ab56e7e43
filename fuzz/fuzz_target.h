/* The entry point every fuzz target defines; libFuzzer or replay_main.cpp
 * calls it once per input. */
#ifndef MOX_FUZZ_TARGET_H
#define MOX_FUZZ_TARGET_H

#include <stddef.h>
#include <stdint.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif /* MOX_FUZZ_TARGET_H */

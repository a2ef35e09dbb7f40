#pragma once
// Random bytes from the operating system's cryptographic generator.
#include <cstddef>

// Fills cbBuffer bytes; false when the generator could not deliver (the buffer then
// holds nothing usable). A count of 0 succeeds and writes nothing.
bool FillRandomBytes(unsigned char* pbBuffer, size_t cbBuffer);

// Lets a test stand in for the generator, for example one that fails. Returns the
// source in use before.
using RandomSource = bool (*)(unsigned char* pbBuffer, size_t cbBuffer);
RandomSource SetRandomSourceForTesting(RandomSource pfnSource);

#pragma once
// Memory the process takes from the system and gives back to it.
#include <cstddef>

namespace velkin::platform {

// A comparison frees its records before its report becomes Python objects,
// which the interpreter allocates apart: without this, the allocator keeps the
// freed pages and the process's peak holds both. Does nothing where the
// allocator gives freed pages back on its own.
void return_free_memory();

// Maps the pages of [data, data + size) ahead of writing them all: one call, not a fault
// per page. Does nothing where that is not offered.
void map_for_writing(char* data, size_t size);

}  // namespace velkin::platform

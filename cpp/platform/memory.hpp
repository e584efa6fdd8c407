#pragma once
// Memory the process has freed, given back to the system.

namespace velkin::platform {

// A comparison frees its records before its report becomes Python objects,
// which the interpreter allocates apart: without this, the allocator keeps the
// freed pages and the process's peak holds both. Does nothing where the
// allocator gives freed pages back on its own.
void return_free_memory();

}  // namespace velkin::platform

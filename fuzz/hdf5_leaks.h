// HDF5 1.10 loses a few of its own allocations (its free-list blocks, tens to
// hundreds of bytes) on the error paths of some damaged files, e.g. an object
// header whose checksum fails: nothing the reader holds, and nothing it can
// free. LeakSanitizer is told to leave leaks from inside the library alone;
// the reader's own allocations are still checked. Include this in exactly one
// source file of each program that reads particle files under the sanitizers.
#pragma once

extern "C" const char* __lsan_default_suppressions() { return "leak:libhdf5\n"; }

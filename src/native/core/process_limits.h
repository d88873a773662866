// The hard limits of a confined process, put on it by itself from the inside:
// what it may read, which system calls it may make, how much memory it may map.
// It knows no Python.
#pragma once

#include <string>
#include <vector>

namespace tessel::process_limits {

// Bytes of address space this process maps now; 0 where that cannot be read.
unsigned long long address_space();

// True where `confine` can work: a known architecture, a kernel with seccomp, and
// an address space that can be read (the memory limit starts from it).
bool supported();

// Limits this process for good: closes every descriptor but 0, 1, 2 and `keep`;
// caps its address space at `base` + `memory` (or a lower cap it already has) and
// its core dumps at nothing; gives it no new privileges; where the kernel has
// Landlock, leaves it read access to the `readable` folders and nothing else of
// the file system; and installs a seccomp filter that refuses writing files,
// sockets, new processes and signals to others.  False when a step failed.
bool confine(unsigned long long base, unsigned long long memory, int keep, const std::vector<std::string> &readable);

}  // namespace tessel::process_limits

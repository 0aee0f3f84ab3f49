// vorn_package/mapped_file_guard.hpp
//
// A packed profile is mapped, not read: if another program truncates or rewrites the file while
// a query runs, the next read of the mapping faults (SIGBUS past the new end, or SIGSEGV when
// changed contents send an index astray) and the process dies of the signal. A program that maps
// profiles calls `guard_mapped_files` once, early: such a fault then ends the process with one
// `error:` line on standard error that names the file, and the exit status given, after removing
// any temporary file an `OutputFile` was writing.
#pragma once

#include <string>

namespace vorn_package {

/// Installs handlers of SIGBUS and SIGSEGV. A fault while a mapped file has changed since it was
/// opened is reported as above; any other fault is passed on to the handler that was there
/// before (by default, the signal kills the process as usual). Later calls do nothing.
void guard_mapped_files(int exit_status = 1);

/// Whether `path` names (through links) a file that a packed profile of this process maps now:
/// writing over it is refused by the Python module, whose profiles live as long as a notebook.
bool is_mapped(const std::string& path);

namespace detail {

/// Registers a mapped file, open as `fd` (which the registry owns and closes on release),
/// under `path`; the slot number to release, or -1 when every slot is taken (the file is then
/// unguarded).
int guard_mapping(int fd, const std::string& path);
void release_mapping(int slot);

/// Registers a temporary output file to remove if a fault ends the process; -1 when full.
int guard_output(const std::string& path);
void release_output(int slot);

}  // namespace detail
}  // namespace vorn_package

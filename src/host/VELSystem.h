// What the library asks of the operating system: environment, files read line by line, login and host names,
// and functions to run at process exit.
#ifndef VELP2P_HOST_VELSYSTEM_H
#define VELP2P_HOST_VELSYSTEM_H

#include "velp2p/VELResult.h"

// The value of the environment variable name, or null when it is unset.
const char* VELGetEnv(const char* name);

// 0 when path is accessible in mode, a combination of 4 (read), 2 (write) and 1 (execute), or 0 (exists);
// -1 otherwise.
int VELFileAccess(const char* path, int mode);

// Files are designated by small positive descriptors that index a table of the library; they are not the
// operating system's descriptors.

// Opens path (wide characters, stored in UTF-8 on the file system) with an fopen mode. On success descriptor
// receives the file's descriptor; on failure it is -1 and the result negative.
VELResult VELFOpen(const wchar_t* path, const char* mode, int& descriptor);
// Reads one line, its line end included, as fgets does; size must be at least 2. Negative when no more line
// can be read (end of file, error, bad arguments).
VELResult VELFGets(char* buffer, int size, int descriptor);
// Non-zero while the end of the file has not been reached, 0 once it has (and for an unknown descriptor).
// Before the first read it looks one byte ahead, so an empty file reports its end at once. After that the end
// counts as reached only once a read has hit it: a last line without a line end reports the end right after
// it is read, while a last line with its line end does not, until the next read fails.
int VELFEof(int descriptor);
VELResult VELFClose(int descriptor);

// The user's login name, cut to fit and always zero-terminated within size; fails only for a null buffer or a
// size below 1.
VELResult VELGetLoginName(char* buffer, int size);

// The identifier of the running process.
long VELGetProcessId();

struct VELSystemInfo {
  char hostName[256];   // zero-terminated; "localhost" when the name cannot be read
  char systemName[64];  // the operating system, such as "Linux"
  char release[64];     // its release
  char machine[64];     // the processor architecture
};

// Fills info, every text zero-terminated; fails only for a null info.
VELResult VELGetSystemInfo(VELSystemInfo* info);

// Registers function to be called once, with 0, at process exit. Functions run in the reverse order of their
// registration; registering a function again changes nothing. priority is accepted for the host's sake and
// does not change the order. Fails for a null function.
VELResult VELCallOnExit(int (*function)(int), int priority);

#endif

// The operating-system calls behind VELSystem.h: environment, the table of open files, user and host names,
// and the exit hooks.
#include "host/VELSystem.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/VELSystemOverrides.h"

namespace {

// Copies text into buffer of size bytes, cut to fit, always zero-terminated (size is at least 1).
void CopyTerminated(char* buffer, size_t size, const char* text) {
  size_t length = std::min(std::strlen(text), size - 1);
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
}

// Encodes a wide path to UTF-8; false for a value that is not a Unicode scalar value.
bool WideToUtf8(const wchar_t* text, std::string& out) {
  for (; *text; ++text) {
    uint32_t c = static_cast<uint32_t>(*text);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF)
        return false;
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      return false;
    }
  }
  return true;
}

struct OpenFile {
  FILE* file;    // null for a free slot
  bool anyRead;  // a read was attempted, so the end-of-file flag is meaningful
};

// The open files; descriptor d is slot d - 1. Never destroyed, so that exit handlers may still close files.
struct FileTable {
  std::mutex mutex;
  std::vector<OpenFile> slots;
};

FileTable& Files() {
  static FileTable* table = new FileTable();
  return *table;
}

// The slot of descriptor, or null; the caller holds the table's mutex.
OpenFile* Slot(FileTable& table, int descriptor) {
  if (descriptor < 1 || static_cast<size_t>(descriptor) > table.slots.size())
    return nullptr;
  OpenFile* slot = &table.slots[static_cast<size_t>(descriptor - 1)];
  return slot->file ? slot : nullptr;
}

struct Overrides {
  std::mutex mutex;
  bool hasLogin = false;
  bool hasHost = false;
  std::string login;
  std::string host;
};

Overrides& TestOverrides() {
  static Overrides* overrides = new Overrides();
  return *overrides;
}

struct ExitFunctions {
  std::mutex mutex;
  std::vector<int (*)(int)> functions;  // registration order
  bool hooked = false;                  // RunExitFunctions is registered with atexit
};

ExitFunctions& Exits() {
  static ExitFunctions* exits = new ExitFunctions();
  return *exits;
}

void RunExitFunctions() {
  ExitFunctions& exits = Exits();
  for (;;) {
    int (*function)(int) = nullptr;
    {
      std::lock_guard<std::mutex> lock(exits.mutex);
      if (exits.functions.empty())
        return;
      function = exits.functions.back();
      exits.functions.pop_back();
    }
    // Called without the lock: a function may register another one, which then runs next.
    function(0);
  }
}

}  // namespace

const char* VELGetEnv(const char* name) {
  return name ? std::getenv(name) : nullptr;
}

int VELFileAccess(const char* path, int mode) {
  if (!path)
    return -1;
  int flags = F_OK;
  if (mode & 4)
    flags |= R_OK;
  if (mode & 2)
    flags |= W_OK;
  if (mode & 1)
    flags |= X_OK;
  return access(path, flags) == 0 ? 0 : -1;
}

VELResult VELFOpen(const wchar_t* path, const char* mode, int& descriptor) {
  descriptor = -1;
  std::string utf8Path;
  if (!path || !mode || !WideToUtf8(path, utf8Path))
    return VEL_E_FAIL;
  FILE* file = std::fopen(utf8Path.c_str(), mode);
  if (!file)
    return VEL_E_FAIL;
  FileTable& table = Files();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto free =
      std::find_if(table.slots.begin(), table.slots.end(), [](const OpenFile& slot) { return !slot.file; });
  if (free == table.slots.end())
    free = table.slots.insert(table.slots.end(), OpenFile{nullptr, false});
  *free = OpenFile{file, false};
  descriptor = static_cast<int>(free - table.slots.begin()) + 1;
  return VEL_S_OK;
}

VELResult VELFGets(char* buffer, int size, int descriptor) {
  // fgets with a size of 1 reads nothing and still succeeds, which would let a read loop spin forever.
  if (!buffer || size < 2)
    return VEL_E_FAIL;
  FileTable& table = Files();
  std::lock_guard<std::mutex> lock(table.mutex);
  OpenFile* slot = Slot(table, descriptor);
  if (!slot)
    return VEL_E_FAIL;
  slot->anyRead = true;
  return std::fgets(buffer, size, slot->file) ? VEL_S_OK : VEL_E_FAIL;
}

int VELFEof(int descriptor) {
  FileTable& table = Files();
  std::lock_guard<std::mutex> lock(table.mutex);
  OpenFile* slot = Slot(table, descriptor);
  if (!slot)
    return 0;
  if (!slot->anyRead) {
    int c = std::fgetc(slot->file);
    if (c == EOF)
      return 0;
    std::ungetc(c, slot->file);
    return 1;
  }
  return std::feof(slot->file) ? 0 : 1;
}

VELResult VELFClose(int descriptor) {
  FileTable& table = Files();
  std::lock_guard<std::mutex> lock(table.mutex);
  OpenFile* slot = Slot(table, descriptor);
  if (!slot)
    return VEL_E_FAIL;
  int closed = std::fclose(slot->file);
  *slot = OpenFile{nullptr, false};
  return closed == 0 ? VEL_S_OK : VEL_E_FAIL;
}

long VELGetProcessId() {
  return static_cast<long>(getpid());
}

VELResult VELGetLoginName(char* buffer, int size) {
  if (!buffer || size < 1)
    return VEL_E_FAIL;
  {
    Overrides& overrides = TestOverrides();
    std::lock_guard<std::mutex> lock(overrides.mutex);
    if (overrides.hasLogin) {
      CopyTerminated(buffer, static_cast<size_t>(size), overrides.login.c_str());
      return VEL_S_OK;
    }
  }
  long bound = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(bound > 0 ? static_cast<size_t>(bound) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found && found->pw_name &&
      found->pw_name[0] != '\0') {
    CopyTerminated(buffer, static_cast<size_t>(size), found->pw_name);
    return VEL_S_OK;
  }
  const char* name = std::getenv("USER");
  if (!name || name[0] == '\0')
    name = std::getenv("LOGNAME");
  if (!name || name[0] == '\0')
    name = "user";
  CopyTerminated(buffer, static_cast<size_t>(size), name);
  return VEL_S_OK;
}

VELResult VELGetSystemInfo(VELSystemInfo* info) {
  if (!info)
    return VEL_E_FAIL;
  std::memset(info, 0, sizeof(*info));
  bool hostSet = false;
  {
    Overrides& overrides = TestOverrides();
    std::lock_guard<std::mutex> lock(overrides.mutex);
    if (overrides.hasHost) {
      CopyTerminated(info->hostName, sizeof(info->hostName), overrides.host.c_str());
      hostSet = true;
    }
  }
  // gethostname may leave a cut name unterminated: the last byte stays the zero of the memset.
  if (!hostSet && (gethostname(info->hostName, sizeof(info->hostName) - 1) != 0 || info->hostName[0] == '\0'))
    CopyTerminated(info->hostName, sizeof(info->hostName), "localhost");
  struct utsname names;
  if (uname(&names) == 0) {
    CopyTerminated(info->systemName, sizeof(info->systemName), names.sysname);
    CopyTerminated(info->release, sizeof(info->release), names.release);
    CopyTerminated(info->machine, sizeof(info->machine), names.machine);
  }
  return VEL_S_OK;
}

VELResult VELCallOnExit(int (*function)(int), int priority) {
  (void)priority;
  if (!function)
    return VEL_E_FAIL;
  ExitFunctions& exits = Exits();
  std::lock_guard<std::mutex> lock(exits.mutex);
  if (std::find(exits.functions.begin(), exits.functions.end(), function) != exits.functions.end())
    return VEL_S_OK;
  if (!exits.hooked) {
    if (std::atexit(RunExitFunctions) != 0)
      return VEL_E_FAIL;
    exits.hooked = true;
  }
  exits.functions.push_back(function);
  return VEL_S_OK;
}

void VELSystemSetOverrides(const char* login, const char* host) {
  Overrides& overrides = TestOverrides();
  std::lock_guard<std::mutex> lock(overrides.mutex);
  overrides.hasLogin = login != nullptr;
  overrides.login = login ? login : "";
  overrides.hasHost = host != nullptr;
  overrides.host = host ? host : "";
}

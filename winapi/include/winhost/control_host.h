// Control interface of the stand-in host's services: the registry, WOW64, the common application
// data folder, the domain-controller lookup and process exit. For tests and tools; the library
// never includes it. winhost::Reset() puts all of this back to its default too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winhost {

// ---- the registry ----------------------------------------------------------------------------
//
// One HKEY_LOCAL_MACHINE hive: in memory in the simulated world; in the system world, one SQLite
// database file (RegistryStore()) that every process of the machine shares. Key and value names
// match without regard to the case of ASCII letters, as on Windows. The default world, and a store
// that does not exist yet, hold SOFTWARE, SYSTEM and SOFTWARE\WOW6432Node. The functions below act
// on the current world's hive; Reset() empties the simulated one and leaves the store alone.
//
// Under WOW64 the 32-bit view of SOFTWARE\... is SOFTWARE\WOW6432Node\...; every other key is the
// same in both views. Paths here are relative to HKEY_LOCAL_MACHINE, backslash-separated, UTF-8.

enum class View { k64, k32 };

// The key's path in the 64-bit view, where it is stored: "SOFTWARE\X" in the 32-bit view is
// "SOFTWARE\WOW6432Node\X".
std::string StoredKeyPath(View view, const std::string& path);

// The system world's store: set by this call, else $QUENTREL_REGISTRY, else
// /var/lib/quentrel/registry.db. An empty path goes back to the environment or the default.
// Each call holds its own connection to the store, counted as "registry-store" while it runs; the
// SQLite calls are fault points too: Fail("sqlite3_step", SQLITE_BUSY) and the like (also
// "sqlite3_open_v2", "sqlite3_exec") make them answer that SQLite result code.
void SetRegistryStore(const std::string& path);
std::string RegistryStore();

// Creates the key and any missing parents.
void CreateRegistryKey(View view, const std::string& path);
bool RegistryKeyExists(View view, const std::string& path);
// Removes the key with its values and subkeys; handles still open on it answer ERROR_KEY_DELETED.
void DeleteRegistryKey(View view, const std::string& path);
// Every key, by its stored path, in order ("SOFTWARE", "SOFTWARE\WOW6432Node", "SYSTEM").
std::vector<std::string> RegistryKeys();

struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// Sets a value of any type; the key (and its parents) are created when missing. An empty name is
// the key's default value.
void SetRegistryValue(View view, const std::string& path, const std::string& name, const RegistryValue& value);
// A REG_SZ value holding the UTF-16 units of `text`, with a terminating NUL unless `terminated` is false.
void SetRegistryString(View view, const std::string& path, const std::string& name, const std::u16string& text,
                       bool terminated = true);
std::optional<RegistryValue> GetRegistryValue(View view, const std::string& path, const std::string& name);
void DeleteRegistryValue(View view, const std::string& path, const std::string& name);

// ---- WOW64 -----------------------------------------------------------------------------------

enum class Wow64 {
  Off,      // a native process on 64-bit Windows (the default): IsWow64Process answers FALSE
  On,       // a 32-bit process on 64-bit Windows: IsWow64Process answers TRUE; the 32-bit view is the default
  Absent,   // an old 32-bit Windows: kernel32 has no IsWow64Process; view flags change nothing
  Failing,  // IsWow64Process exists but fails with ERROR_ACCESS_DENIED
};
void SetWow64(Wow64 mode);
Wow64 GetWow64();

// ---- the common application data folder ------------------------------------------------------

// The folder SHGetFolderPathW gives for CSIDL_COMMON_APPDATA, a real directory, made when missing
// and asked for with CSIDL_FLAG_CREATE. By default, in the system world $QUENTREL_COMMON_APPDATA or
// else /var/lib; in the simulated world $WINHOST_COMMON_APPDATA, or else
// ${TMPDIR:-/tmp}/winhost-<uid>/ProgramData. An empty path makes the shell answer S_OK with an
// empty buffer.
void SetCommonAppDataFolder(const std::string& path);
std::string CommonAppDataFolder();

// When set, CreateDirectoryW behaves as if another thread or process created the directory just
// before it: the directory is made, then the call fails with ERROR_ALREADY_EXISTS. Lasts until Reset.
void SetDirectoryCreationRace(bool racing);

// ---- the domain-controller lookup ------------------------------------------------------------

// What NetGetAnyDCName answers. By default this computer is not joined to a domain:
// ERROR_NO_SUCH_DOMAIN. With NERR_Success the caller receives `controller` in a buffer that it
// releases with NetApiBufferFree (counted as "net-buffer").
void SetDomainControllerStatus(uint32_t status, const std::string& controller = "\\\\DC01.example.test");

// ---- process exit ----------------------------------------------------------------------------

// TerminateProcess on the current process writes the exit code it was given, as an unsigned
// decimal number, to `path` before the process ends (a POSIX exit status keeps only the low
// eight bits). An empty path records nothing.
void RecordTerminationIn(const std::string& path);

}  // namespace winhost

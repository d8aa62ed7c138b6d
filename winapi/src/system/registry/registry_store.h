// The system world's registry: HKEY_LOCAL_MACHINE in one SQLite database file.
//
// Keys are named by their stored path (the 64-bit view's), backslash-separated; "" is the hive's
// root. Key and value names match without regard to the case of ASCII letters, as the simulated
// registry does (SQLite's NOCASE collation). Every call opens the database, does its work in one
// transaction (writes take the write lock first: BEGIN IMMEDIATE) and closes it again, so nothing
// is shared between threads or across fork, and a reader never sees half a write.
//
// A missing store holds the keys every Windows has (the root, SOFTWARE, SOFTWARE\WOW6432Node,
// SYSTEM) and no values; readers never create it, writers create it (and its folder) when they
// may. A file that is not this registry's database is never written, moved or deleted.
//
// Failures are Windows codes: ERROR_ACCESS_DENIED for a store this process may not write (or
// open), ERROR_LOCK_VIOLATION when another process holds the lock past the busy timeout,
// ERROR_BADDB for a file that is not a registry database, ERROR_REGISTRY_CORRUPT for a damaged
// one, ERROR_NOT_ENOUGH_MEMORY, ERROR_DISK_FULL, ERROR_REGISTRY_IO_FAILED for the rest.
//
// The SQLite calls are fault points of the host: Fail("sqlite3_open_v2" | "sqlite3_exec" |
// "sqlite3_step", SQLITE_BUSY ...) makes that call answer the given SQLite result code.
#pragma once

#include <string>
#include <vector>

#include "system/host/host.h"
#include "winhost/control_host.h"
#include "winhost/host_services.h"

namespace winhost::system::registry {

// The database file: the one a test set, else $QUENTREL_REGISTRY, else /var/lib/quentrel/registry.db.
std::string StorePath();
void SetStorePath(const std::string& path);  // "" goes back to the environment or the default

// ERROR_SUCCESS with the key's path as stored, or ERROR_FILE_NOT_FOUND, or the store's failure.
LONG FindKey(const std::u16string& path, std::u16string& stored);
// ERROR_FILE_NOT_FOUND for a missing value, ERROR_KEY_DELETED when the key is gone.
LONG ReadValue(const std::u16string& key, const std::u16string& name, RegistryValue& value);
// Sets the value, whose name keeps the case it is written with. ERROR_KEY_DELETED when the key is gone.
LONG WriteValue(const std::u16string& key, const std::u16string& name, const RegistryValue& value);
LONG DeleteValue(const std::u16string& key, const std::u16string& name);

// For the control interface: keys with their parents, and whole subtrees.
LONG CreateKey(const std::u16string& path);
LONG DeleteKey(const std::u16string& path);
std::vector<std::u16string> Keys();

}  // namespace winhost::system::registry

// The system world's registry store over SQLite: see registry_store.h.
#include "system/registry/registry_store.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "system/host/settings.h"
#include "system/host/trace.h"

namespace winhost::system::registry {
namespace {

constexpr int kApplicationId = 0x51524547;  // "QREG" in the file's header: this file is a registry
constexpr int kBusyMilliseconds = 5000;     // how long a call waits for another process's lock

// The keys every Windows has; a store that does not exist yet holds just these.
const char16_t* const kBuiltinKeys[] = {u"", u"SOFTWARE", u"SOFTWARE\\WOW6432Node", u"SYSTEM"};

constexpr char kSchema[] =
    "BEGIN;"
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
    "CREATE TABLE vals(key INTEGER NOT NULL REFERENCES keys(id), name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT INTO keys(path) VALUES(''), ('SOFTWARE'), ('SOFTWARE\\WOW6432Node'), ('SYSTEM');"
    "COMMIT;";

// Waits for another connection's lock in short, even steps, up to kBusyMilliseconds. SQLite's own
// busy timeout backs off to 100 ms sleeps, and with two processes committing back to back the
// lock is free only for moments: a reader polling that slowly can miss every one of them.
int WaitForLock(void*, int attempt) {
  if (attempt >= kBusyMilliseconds) return 0;
  usleep(1000);
  return 1;
}

std::optional<std::string>& PathSetByTest() {
  static auto* path = new std::optional<std::string>();  // never destroyed; read under the world lock
  return *path;
}

// ASCII letters only, as the NOCASE collation and the simulated registry compare.
char16_t Upper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit; }

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool IsBuiltin(const std::u16string& path, std::u16string* stored = nullptr) {
  for (const char16_t* builtin : kBuiltinKeys)
    if (SameName(path, builtin)) {
      if (stored != nullptr) *stored = builtin;
      return true;
    }
  return false;
}

// The native failure on stderr when QUENTREL_TRACE asks for it, for an administrator.
void Trace(const char* what, int code, const char* text) {
  if (!host::TraceOn()) return;
  host::Trace(std::string("registry store ") + what + " failed: " + text + " (" + std::to_string(code) + ")");
}

LONG ErrorOfErrno(int error) {
  Trace("file call", error, std::strerror(error));
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM:
    case EROFS:
    default: return ERROR_ACCESS_DENIED;
  }
}

// The Windows code for a SQLite result; the extended codes are read by their primary part.
LONG ErrorOf(int result) {
  if (result != SQLITE_OK && result != SQLITE_ROW && result != SQLITE_DONE) Trace("call", result, sqlite3_errstr(result));
  switch (result & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_LOCK_VIOLATION;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR: return ERROR_BADDB;  // ERROR: a database without this registry's tables
    case SQLITE_CORRUPT: return ERROR_REGISTRY_CORRUPT;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

// A SQLite call as a fault point of the host: the fault's code stands for SQLite's answer.
// The journal records the statement, or the file for an open.
std::optional<int> Faulted(const char* function, const char* name, const std::string& argument) {
  if (auto fault = Enter(Call{function, {{name, argument}}})) return static_cast<int>(*fault);
  return std::nullopt;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { result_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int prepared() const { return result_; }
  Statement& Text(int at, const std::u16string& text) {
    Keep(sqlite3_bind_text16(statement_, at, text.data(), static_cast<int>(text.size() * sizeof(char16_t)),
                             SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Integer(int at, sqlite3_int64 value) {
    Keep(sqlite3_bind_int64(statement_, at, value));
    return *this;
  }
  Statement& Blob(int at, const std::vector<uint8_t>& data) {
    // An empty blob is bound as a zero-length one, not as NULL.
    Keep(data.empty() ? sqlite3_bind_zeroblob(statement_, at, 0)
                      : sqlite3_bind_blob(statement_, at, data.data(), static_cast<int>(data.size()),
                                          SQLITE_TRANSIENT));
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or the failure (of binding, or of the step).
  int Step() {
    if (result_ != SQLITE_OK) return result_;
    if (auto fault = Faulted("sqlite3_step", "sql", sqlite3_sql(statement_))) return *fault;
    return sqlite3_step(statement_);
  }
  std::u16string TextAt(int column) {
    auto* text = static_cast<const char16_t*>(sqlite3_column_text16(statement_, column));
    int bytes = sqlite3_column_bytes16(statement_, column);
    return text == nullptr ? std::u16string() : std::u16string(text, static_cast<size_t>(bytes) / sizeof(char16_t));
  }
  sqlite3_int64 IntegerAt(int column) { return sqlite3_column_int64(statement_, column); }
  std::vector<uint8_t> BlobAt(int column) {
    auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
    int bytes = sqlite3_column_bytes(statement_, column);
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + bytes);
  }

 private:
  void Keep(int result) {
    if (result_ == SQLITE_OK) result_ = result;
  }
  sqlite3_stmt* statement_ = nullptr;
  int result_;
};

// One connection for one operation. Closing it rolls back a transaction left open by a failure,
// so a write is either committed whole or not at all.
class Connection {
 public:
  Connection() = default;
  ~Connection() {
    if (db_ == nullptr) return;
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
    AddLive("registry-store", -1);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens the store at `path`. For reading, a missing file leaves the connection closed with
  // ERROR_SUCCESS (the store holds just the built-in keys); for writing it is created first.
  LONG Open(const std::string& path, bool write) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
      if (errno != ENOENT && (errno != ENOTDIR || write)) return ErrorOfErrno(errno);
      if (!write) return ERROR_SUCCESS;
      if (LONG created = Create(path); created != ERROR_SUCCESS) return created;
    }
    // Readers too ask to write, never to create: where they may, SQLite then rolls back the
    // journal of a writer that died in its commit; where they may not, it opens the file read-only.
    if (LONG opened = OpenFile(path, SQLITE_OPEN_READWRITE); opened != ERROR_SUCCESS) return opened;
    // A file that is not this registry's database (another database, an empty file, garbage) is
    // refused before anything is written to it.
    Statement application(db_, "PRAGMA application_id");
    int result = application.Step();
    if (result != SQLITE_ROW) return ErrorOf(result);
    if (application.IntegerAt(0) != kApplicationId) {
      Trace("check", SQLITE_NOTADB, "the file is not a registry store");
      return ERROR_BADDB;
    }
    if (write && sqlite3_db_readonly(db_, "main") == 1) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
  }

  bool open() const { return db_ != nullptr; }
  sqlite3* db() const { return db_; }

  LONG Exec(const char* sql) {
    if (auto fault = Faulted("sqlite3_exec", "sql", sql)) return ErrorOf(*fault);
    return ErrorOf(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
  }

 private:
  LONG OpenFile(const std::string& path, int flags) {
    if (auto fault = Faulted("sqlite3_open_v2", "path", path)) return ErrorOf(*fault);
    int result = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (db_ != nullptr) AddLive("registry-store", 1);
    if (result != SQLITE_OK) return ErrorOf(result);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, WaitForLock, nullptr);
    return ERROR_SUCCESS;
  }

  // Makes a new store: built whole in a file of its own beside `path`, then linked into place,
  // which fails rather than replaces when another process got there first. Nobody ever sees a
  // store without its tables, and nothing already at `path` is touched.
  static LONG Create(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolderPath(path.substr(0, slash))) return ErrorOfErrno(errno);
    static std::atomic<unsigned> serial{0};
    std::string building = path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    unlink(building.c_str());  // a leftover of a process that had this id and died here
    LONG built;
    {
      Connection fresh;
      built = fresh.OpenFile(building, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
      if (built == ERROR_SUCCESS) {
        std::string schema = "PRAGMA application_id = " + std::to_string(kApplicationId) + ";" + kSchema;
        built = fresh.Exec(schema.c_str());
      }
    }
    if (built == ERROR_SUCCESS && link(building.c_str(), path.c_str()) != 0 && errno != EEXIST)
      built = ErrorOfErrno(errno);
    unlink(building.c_str());
    return built;
  }

  sqlite3* db_ = nullptr;
};

std::string CurrentPath() {
  WorldGuard guard(WorldMutex());
  return StorePath();
}

// The id of the key at `path`, or nothing (with ERROR_FILE_NOT_FOUND in `status`) when it is missing.
std::optional<sqlite3_int64> KeyId(Connection& store, const std::u16string& path, LONG& status) {
  Statement find(store.db(), "SELECT id FROM keys WHERE path = ?1");
  int result = find.Text(1, path).Step();
  status = result == SQLITE_ROW ? ERROR_SUCCESS : result == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ErrorOf(result);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return find.IntegerAt(0);
}

// Runs `work` in one write transaction on an open store and commits it; any failure rolls it back.
template <typename Work>
LONG Write(Work work) {
  Connection store;
  if (LONG opened = store.Open(CurrentPath(), true); opened != ERROR_SUCCESS) return opened;
  if (LONG begun = store.Exec("BEGIN IMMEDIATE"); begun != ERROR_SUCCESS) return begun;
  if (LONG done = work(store); done != ERROR_SUCCESS) return done;
  return store.Exec("COMMIT");
}

}  // namespace

std::string StorePath() {
  if (PathSetByTest()) return *PathSetByTest();
  return host::TextSetting(host::SettingId::kRegistry);
}

void SetStorePath(const std::string& path) {
  if (path.empty())
    PathSetByTest().reset();
  else
    PathSetByTest() = path;
}

LONG FindKey(const std::u16string& path, std::u16string& stored) {
  Connection store;
  if (LONG opened = store.Open(CurrentPath(), false); opened != ERROR_SUCCESS) return opened;
  if (!store.open()) return IsBuiltin(path, &stored) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  Statement find(store.db(), "SELECT path FROM keys WHERE path = ?1");
  int result = find.Text(1, path).Step();
  if (result == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (result != SQLITE_ROW) return ErrorOf(result);
  stored = find.TextAt(0);
  return ERROR_SUCCESS;
}

LONG ReadValue(const std::u16string& key, const std::u16string& name, RegistryValue& value) {
  Connection store;
  if (LONG opened = store.Open(CurrentPath(), false); opened != ERROR_SUCCESS) return opened;
  if (!store.open()) return IsBuiltin(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  // One statement, so the key and its value are read from one snapshot.
  Statement read(store.db(),
                 "SELECT v.type, v.data, v.key IS NULL FROM keys k LEFT JOIN vals v ON v.key = k.id AND v.name = ?2 "
                 "WHERE k.path = ?1");
  int result = read.Text(1, key).Text(2, name).Step();
  if (result == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (result != SQLITE_ROW) return ErrorOf(result);
  if (read.IntegerAt(2) != 0) return ERROR_FILE_NOT_FOUND;
  value.type = static_cast<uint32_t>(read.IntegerAt(0));
  value.data = read.BlobAt(1);
  return ERROR_SUCCESS;
}

LONG WriteValue(const std::u16string& key, const std::u16string& name, const RegistryValue& value) {
  return Write([&](Connection& store) {
    LONG status;
    std::optional<sqlite3_int64> id = KeyId(store, key, status);
    if (!id) return status == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : status;
    Statement set(store.db(),
                  "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) ON CONFLICT(key, name) "
                  "DO UPDATE SET name = excluded.name, type = excluded.type, data = excluded.data");
    int result = set.Integer(1, *id).Text(2, name).Integer(3, value.type).Blob(4, value.data).Step();
    return result == SQLITE_DONE ? ERROR_SUCCESS : ErrorOf(result);
  });
}

LONG DeleteValue(const std::u16string& key, const std::u16string& name) {
  return Write([&](Connection& store) {
    Statement remove(store.db(), "DELETE FROM vals WHERE key = (SELECT id FROM keys WHERE path = ?1) AND name = ?2");
    int result = remove.Text(1, key).Text(2, name).Step();
    return result == SQLITE_DONE ? ERROR_SUCCESS : ErrorOf(result);
  });
}

LONG CreateKey(const std::u16string& path) {
  return Write([&](Connection& store) {
    // Parents first, so that every key's parent exists.
    for (size_t at = 0; at != std::u16string::npos;) {
      at = path.find(u'\\', at + 1);
      Statement add(store.db(), "INSERT OR IGNORE INTO keys(path) VALUES(?1)");
      int result = add.Text(1, path.substr(0, at)).Step();
      if (result != SQLITE_DONE) return ErrorOf(result);
    }
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG DeleteKey(const std::u16string& path) {
  if (path.empty()) return ERROR_ACCESS_DENIED;  // the hive's root stays
  return Write([&](Connection& store) {
    const char* const removals[] = {
        "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE path = ?1 OR "
        "substr(path, 1, length(?1) + 1) = (?1 || '\\') COLLATE NOCASE)",
        "DELETE FROM keys WHERE path = ?1 OR substr(path, 1, length(?1) + 1) = (?1 || '\\') COLLATE NOCASE"};
    for (const char* sql : removals) {
      Statement remove(store.db(), sql);
      int result = remove.Text(1, path).Step();
      if (result != SQLITE_DONE) return ErrorOf(result);
    }
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

std::vector<std::u16string> Keys() {
  std::vector<std::u16string> paths;
  Connection store;
  if (store.Open(CurrentPath(), false) != ERROR_SUCCESS) return paths;
  if (!store.open()) {
    for (const char16_t* builtin : kBuiltinKeys)
      if (*builtin != 0) paths.push_back(builtin);
    return paths;
  }
  Statement all(store.db(), "SELECT path FROM keys WHERE path <> '' ORDER BY path");
  while (all.Step() == SQLITE_ROW) paths.push_back(all.TextAt(0));
  return paths;
}

}  // namespace winhost::system::registry

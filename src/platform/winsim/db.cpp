#include "platform/winsim/db.h"

#include <sqlite3.h>

#include <stdexcept>

namespace winsim {

namespace {
[[noreturn]] void Fail(sqlite3* db, std::string_view what) {
  throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}
}  // namespace

Stmt::Stmt(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
    Fail(db, "prepare");
  }
}

Stmt::~Stmt() { sqlite3_finalize(stmt_); }

Stmt& Stmt::Bind(int index, int64_t v) {
  sqlite3_bind_int64(stmt_, index, v);
  return *this;
}
Stmt& Stmt::Bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::BindBlob(int index, const void* data, size_t size) {
  // A zero-length blob must stay a blob, not NULL.
  static const char kEmpty = 0;
  sqlite3_bind_blob(stmt_, index, size ? data : &kEmpty, static_cast<int>(size), SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::BindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Stmt::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Fail(db_, "step");
}

void Stmt::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t Stmt::Int(int col) { return sqlite3_column_int64(stmt_, col); }
std::string Stmt::Text(int col) {
  const unsigned char* t = sqlite3_column_text(stmt_, col);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt_, col)) : std::string();
}
std::vector<uint8_t> Stmt::Blob(int col) {
  const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
  int n = sqlite3_column_bytes(stmt_, col);
  return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}
bool Stmt::IsNull(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

Db::Db(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "open";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 60000);
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
}

Db::~Db() { sqlite3_close(db_); }

void Db::Exec(std::string_view sql) {
  char* err = nullptr;
  std::string s(sql);
  if (sqlite3_exec(db_, s.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "exec";
    sqlite3_free(err);
    throw std::runtime_error(msg + " in: " + s);
  }
}

int64_t Db::LastInsertId() { return sqlite3_last_insert_rowid(db_); }
int Db::Changes() { return sqlite3_changes(db_); }

Transaction::Transaction(Db& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }
Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.Exec("ROLLBACK");
    } catch (...) {
    }
  }
}
void Transaction::Commit() {
  db_.Exec("COMMIT");
  done_ = true;
}

}  // namespace winsim

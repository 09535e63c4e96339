// A small wrapper over SQLite for the machine's registry and state databases. Several processes of
// one machine share them; SQLite's locking keeps them consistent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace winsim {

class Stmt {
 public:
  Stmt(sqlite3* db, std::string_view sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int index, int64_t v);
  Stmt& Bind(int index, std::string_view text);
  Stmt& BindBlob(int index, const void* data, size_t size);
  Stmt& BindNull(int index);
  // True while a row is available.
  bool Step();
  void Reset();
  int64_t Int(int col);
  std::string Text(int col);
  std::vector<uint8_t> Blob(int col);
  bool IsNull(int col);

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Db {
 public:
  // Opens (and creates) the database with WAL and a generous busy time-out.
  explicit Db(const std::string& path);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void Exec(std::string_view sql);
  Stmt Prepare(std::string_view sql) { return Stmt(db_, sql); }
  int64_t LastInsertId();
  int Changes();
  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back when not committed.
class Transaction {
 public:
  explicit Transaction(Db& db);
  ~Transaction();
  void Commit();

 private:
  Db& db_;
  bool done_ = false;
};

}  // namespace winsim

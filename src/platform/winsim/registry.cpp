// The simulated registry: keys and values in the machine's SQLite database, shared by every
// process of the machine; key handles belong to one process (one IRegistry).
#include "platform/registry.h"

#include <errno.h>
#include <iconv.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/registry_tools.h"
#include "platform/winsim/services.h"

namespace winsim {

std::u16string UserSid(std::string_view userName) {
  return win::EqualsNoCaseA(userName, "Administrator") ? u"S-1-5-21-1000-1000-1000-500"
                                                       : u"S-1-5-21-1000-1000-1000-1001";
}

namespace {

using namespace win;

constexpr int64_t kHklm = 1;
constexpr int64_t kHku = 2;
constexpr DWORD kMaxKeyNameChars = 255;
constexpr REGSAM kMaximumAllowed = 0x02000000;

// Handle values of this process, never reused (a stale handle must not reach a newer key).
std::atomic<uintptr_t> gNextHandle{0x1000};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string Folded(std::u16string_view name) { return WideToUtf8(FoldCase(name)); }

const char* CodePageName(uint32_t cp) {
  switch (cp) {
    case 932:
      return "CP932";
    case 936:
      return "CP936";
    case 949:
      return "CP949";
    case 950:
      return "CP950";
    case 1250:
      return "CP1250";
    case 1251:
      return "CP1251";
    case 1253:
      return "CP1253";
    case 1254:
      return "CP1254";
    case 1255:
      return "CP1255";
    case 1256:
      return "CP1256";
    case 1257:
      return "CP1257";
    case 1258:
      return "CP1258";
    case 65001:
      return "UTF-8";
    default:
      return "CP1252";
  }
}

// iconv over the whole input; what the target cannot hold (or the source cannot mean) becomes
// the replacement, as MultiByteToWideChar / WideCharToMultiByte substitute a default character.
std::string Convert(const char* to, const char* from, std::string_view in, bool fromUtf16,
                    std::string_view replacement) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  std::vector<char> buf(in.size() * 4 + 16);
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buf.data();
    size_t room = buf.size();
    size_t rc = iconv(cd, &src, &left, &dst, &room);
    out.append(buf.data(), buf.size() - room);
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    out.append(replacement);
    if (errno == EINVAL) break;  // truncated sequence at the end
    size_t skip = 1;
    if (fromUtf16) {
      skip = 2;
      if (left >= 4) {
        auto unit = static_cast<uint16_t>(static_cast<uint8_t>(src[0]) | static_cast<uint8_t>(src[1]) << 8);
        if (unit >= 0xD800 && unit < 0xDC00) skip = 4;
      }
    }
    skip = std::min(skip, left);
    src += skip;
    left -= skip;
  }
  iconv_close(cd);
  return out;
}

std::string AnsiBytesToWideBytes(uint32_t cp, std::string_view ansi) {
  return Convert("UTF-16LE", CodePageName(cp), ansi, false, std::string_view("?\0", 2));
}

std::string WideBytesToAnsiBytes(uint32_t cp, std::string_view wide) {
  // An odd last byte is half a character: Windows drops it.
  return Convert(CodePageName(cp), "UTF-16LE", wide.substr(0, wide.size() & ~size_t{1}), true, "?");
}

std::u16string AnsiToWide(uint32_t cp, std::string_view ansi) {
  std::string bytes = AnsiBytesToWideBytes(cp, ansi);
  std::u16string s(bytes.size() / 2, u'\0');
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

void EnsureSchema(Db& db) {
  {
    auto check =
        db.Prepare("SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('reg_keys','reg_values')");
    if (check.Step() && check.Int(0) == 2) return;
  }
  Transaction t(db);
  db.Exec(
      // AUTOINCREMENT: ids of deleted keys are never handed out again, so a handle to a deleted key
      // cannot come to life when a key of the same name is created.
      "CREATE TABLE IF NOT EXISTS reg_keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      " name TEXT NOT NULL, folded TEXT NOT NULL, UNIQUE(parent, folded));"
      "CREATE TABLE IF NOT EXISTS reg_values(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
      " name TEXT NOT NULL, folded TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
      " wide INTEGER NOT NULL, UNIQUE(key, folded));"
      "INSERT OR IGNORE INTO reg_keys(id, parent, name, folded) VALUES"
      " (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'), (2, 0, 'HKEY_USERS', 'HKEY_USERS');");
  t.Commit();
}

// A deferred transaction: a consistent snapshot for reads spanning several statements.
class ReadTransaction {
 public:
  explicit ReadTransaction(Db& db) : db_(db) { db_.Exec("BEGIN"); }
  ~ReadTransaction() {
    try {
      db_.Exec("COMMIT");
    } catch (...) {
    }
  }

 private:
  Db& db_;
};

struct KeyHandle {
  int64_t id = 0;  // the key itself; 0 for predefined keys, found again on each use
  int64_t root = kHklm;
  std::vector<std::u16string> logical;  // path below the root as the program named it
  REGSAM access = 0;
};

struct ValueRow {
  DWORD type = 0;
  std::string data;
  bool wide = true;
};

class WinsimRegistry : public IRegistry {
 public:
  explicit WinsimRegistry(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  LONG RegOpenKeyExW(HKEY key, std::u16string_view subKey, DWORD, REGSAM sam, HKEY* result) override {
    return OpenOrCreate(key, subKey, sam, false, result, nullptr);
  }

  LONG RegCreateKeyExW(HKEY key, std::u16string_view subKey, DWORD, const char16_t*, DWORD, REGSAM sam, void*,
                       HKEY* result, DWORD* disposition) override {
    return OpenOrCreate(key, subKey, sam, true, result, disposition);
  }

  LONG RegCloseKey(HKEY key) override {
    if (Predefined(key)) return ERROR_SUCCESS;
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  }

  LONG RegQueryValueExW(HKEY key, std::u16string_view valueName, DWORD* type, BYTE* data, DWORD* cbData) override {
    return QueryValue(key, valueName, true, type, data, cbData);
  }

  LONG RegQueryValueExA(HKEY key, std::string_view valueName, DWORD* type, BYTE* data, DWORD* cbData) override {
    return QueryValue(key, AnsiToWide(CodePage(), valueName), false, type, data, cbData);
  }

  LONG RegSetValueExW(HKEY key, std::u16string_view valueName, DWORD type, const BYTE* data, DWORD cbData) override {
    return SetValue(key, valueName, type, data, cbData, true);
  }

  LONG RegSetValueExA(HKEY key, std::string_view valueName, DWORD type, const BYTE* data, DWORD cbData) override {
    return SetValue(key, AnsiToWide(CodePage(), valueName), type, data, cbData, false);
  }

  LONG RegDeleteValueW(HKEY key, std::u16string_view valueName) override {
    KeyHandle h;
    if (LONG rc = Lookup(key, KEY_SET_VALUE, &h)) return rc;
    return Write([&](Db& db) -> LONG {
      int64_t id = 0;
      if (LONG rc = Target(db, h, &id)) return rc;
      auto del = db.Prepare("DELETE FROM reg_values WHERE key = ? AND folded = ?");
      del.Bind(1, id).Bind(2, Folded(valueName)).Step();
      return db.Changes() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
  }

  LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* cchName) override {
    KeyHandle h;
    if (LONG rc = Lookup(key, KEY_ENUMERATE_SUB_KEYS, &h)) return rc;
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    std::u16string found;
    LONG rc = Read([&](Db& db) -> LONG {
      int64_t id = 0;
      if (LONG rc = Target(db, h, &id)) return rc;
      auto q = db.Prepare("SELECT name FROM reg_keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
      q.Bind(1, id).Bind(2, static_cast<int64_t>(index));
      if (!q.Step()) return ERROR_NO_MORE_ITEMS;
      found = Utf8ToWide(q.Text(0));
      return ERROR_SUCCESS;
    });
    if (rc) return rc;
    return CopyName(found, name, cchName);
  }

  LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* cchName, DWORD* type, BYTE* data,
                     DWORD* cbData) override {
    KeyHandle h;
    if (LONG rc = Lookup(key, KEY_QUERY_VALUE, &h)) return rc;
    if (!name || !cchName || (data && !cbData)) return ERROR_INVALID_PARAMETER;
    std::u16string found;
    ValueRow row;
    LONG rc = Read([&](Db& db) -> LONG {
      int64_t id = 0;
      if (LONG rc = Target(db, h, &id)) return rc;
      auto q = db.Prepare("SELECT name, type, data, wide FROM reg_values WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?");
      q.Bind(1, id).Bind(2, static_cast<int64_t>(index));
      if (!q.Step()) return ERROR_NO_MORE_ITEMS;
      found = Utf8ToWide(q.Text(0));
      row = Row(q, 1);
      return ERROR_SUCCESS;
    });
    if (rc) return rc;
    if (LONG nameRc = CopyName(found, name, cchName)) return nameRc;
    return CopyData(row, true, type, data, cbData);
  }

  LONG RegQueryInfoKeyW(HKEY key, DWORD* subKeys, DWORD* values) override {
    KeyHandle h;
    if (LONG rc = Lookup(key, KEY_QUERY_VALUE, &h)) return rc;
    return Read([&](Db& db) -> LONG {
      int64_t id = 0;
      if (LONG rc = Target(db, h, &id)) return rc;
      if (subKeys) {
        auto q = db.Prepare("SELECT count(*) FROM reg_keys WHERE parent = ?");
        q.Bind(1, id).Step();
        *subKeys = static_cast<DWORD>(q.Int(0));
      }
      if (values) {
        auto q = db.Prepare("SELECT count(*) FROM reg_values WHERE key = ?");
        q.Bind(1, id).Step();
        *values = static_cast<DWORD>(q.Int(0));
      }
      return ERROR_SUCCESS;
    });
  }

  LONG RegDeleteKeyExW(HKEY key, std::u16string_view subKey, REGSAM view) override {
    return DeleteKey(key, subKey, view, false);
  }

  LONG SHDeleteKeyW(HKEY key, std::u16string_view subKey) override { return DeleteKey(key, subKey, 0, true); }

 private:
  static bool Predefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_USERS || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER;
  }

  uint32_t CodePage() { return m_->Config().codePage; }

  // The 32-bit view applies to a 32-bit program on a 64-bit machine unless KEY_WOW64_64KEY says
  // otherwise; KEY_WOW64_32KEY asks for it from a 64-bit program too. A handle does not carry its
  // view over to the keys opened from it, as on Windows.
  bool View32(REGSAM sam) {
    if (!m_->Is64BitMachine()) return false;
    if (sam & KEY_WOW64_64KEY) return false;
    if (sam & KEY_WOW64_32KEY) return true;
    return m_->IsWow64();
  }

  // Keys under SOFTWARE that both views share, as Windows 7 and later keep them (a subset of
  // Windows' list: those system code reads for every account).
  static bool IsShared(const std::vector<std::u16string>& logical) {
    static const std::vector<std::vector<std::u16string_view>> kShared = {
        {u"Microsoft", u"Windows NT", u"CurrentVersion", u"ProfileList"},
        {u"Microsoft", u"Windows NT", u"CurrentVersion", u"Time Zones"},
        {u"Microsoft", u"Windows NT", u"CurrentVersion", u"Fonts"},
        {u"Microsoft", u"Windows NT", u"CurrentVersion", u"FontSubstitutes"},
        {u"Microsoft", u"Windows NT", u"CurrentVersion", u"Print"},
        {u"Microsoft", u"Windows NT", u"CurrentVersion", u"NetworkCards"},
        {u"Microsoft", u"Windows", u"CurrentVersion", u"Group Policy"},
        {u"Microsoft", u"Windows", u"CurrentVersion", u"Setup"},
    };
    for (const auto& shared : kShared) {
      if (logical.size() < shared.size() + 1) continue;
      bool match = true;
      for (size_t i = 0; i < shared.size() && match; ++i) match = EqualsNoCase(logical[i + 1], shared[i]);
      if (match) return true;
    }
    return false;
  }

  static std::vector<std::u16string> Physical(int64_t root, std::vector<std::u16string> logical, bool view32) {
    if (view32 && root == kHklm && logical.size() >= 2 && EqualsNoCase(logical[0], u"SOFTWARE") &&
        !EqualsNoCase(logical[1], u"Classes") && !EqualsNoCase(logical[1], u"WOW6432Node") && !IsShared(logical)) {
      logical.insert(logical.begin() + 1, u"WOW6432Node");
    }
    return logical;
  }

  static REGSAM MapAccess(REGSAM sam) {
    REGSAM a = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (a & (GENERIC_ALL | kMaximumAllowed)) a |= KEY_ALL_ACCESS;
    if (a & GENERIC_READ) a |= KEY_READ;
    if (a & GENERIC_WRITE) a |= KEY_WRITE;
    if (a & GENERIC_EXECUTE) a |= KEY_EXECUTE;
    return a;
  }

  // Splits a subkey path; a leading backslash is refused as Windows does.
  static LONG Split(std::u16string_view path, std::vector<std::u16string>* parts) {
    if (!path.empty() && path[0] == u'\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find(u'\\', start);
      if (end == std::u16string_view::npos) end = path.size();
      if (end > start) {
        if (end - start > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
        parts->emplace_back(path.substr(start, end - start));
      }
      start = end + 1;
    }
    return ERROR_SUCCESS;
  }

  std::u16string CurrentUserSid() {
    return m_->self().system ? std::u16string(kSystemSid) : UserSid(m_->Config().user);
  }

  // The handle's state, checked for the access the operation needs.
  LONG Lookup(HKEY key, REGSAM need, KeyHandle* out) {
    if (key == HKEY_LOCAL_MACHINE) {
      *out = {kHklm, kHklm, {}, KEY_ALL_ACCESS};
    } else if (key == HKEY_USERS) {
      *out = {kHku, kHku, {}, KEY_ALL_ACCESS};
    } else if (key == HKEY_CLASSES_ROOT) {
      *out = {0, kHklm, {u"SOFTWARE", u"Classes"}, KEY_ALL_ACCESS};
    } else if (key == HKEY_CURRENT_USER) {
      *out = {0, kHku, {CurrentUserSid()}, KEY_ALL_ACCESS};
    } else {
      std::lock_guard lock(mutex_);
      auto it = handles_.find(reinterpret_cast<uintptr_t>(key));
      if (it == handles_.end()) return ERROR_INVALID_HANDLE;
      *out = it->second;
    }
    return (out->access & need) == need ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  }

  static int64_t Child(Db& db, int64_t parent, std::u16string_view name) {
    auto q = db.Prepare("SELECT id FROM reg_keys WHERE parent = ? AND folded = ?");
    q.Bind(1, parent).Bind(2, Folded(name));
    return q.Step() ? q.Int(0) : 0;
  }

  static int64_t Walk(Db& db, int64_t root, const std::vector<std::u16string>& path) {
    int64_t id = root;
    for (const auto& part : path) {
      id = Child(db, id, part);
      if (!id) return 0;
    }
    return id;
  }

  static bool KeyExists(Db& db, int64_t id) {
    auto q = db.Prepare("SELECT 1 FROM reg_keys WHERE id = ?");
    q.Bind(1, id);
    return q.Step();
  }

  // The key a handle stands for: 1018 once it was deleted, by anyone.
  static LONG Target(Db& db, const KeyHandle& h, int64_t* id) {
    if (h.id == 0) {
      *id = Walk(db, h.root, h.logical);
      return *id ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    *id = h.id;
    return KeyExists(db, h.id) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  }

  template <class F>
  LONG Read(F&& f) {
    try {
      return m_->WithRegistry([&](Db& db) -> LONG {
        Prepare(db);
        ReadTransaction t(db);
        return f(db);
      });
    } catch (...) {
      return ERROR_CANTREAD;
    }
  }

  template <class F>
  LONG Write(F&& f) {
    try {
      return m_->WithRegistry([&](Db& db) -> LONG {
        Prepare(db);
        Transaction t(db);
        LONG rc = f(db);
        if (rc == ERROR_SUCCESS) t.Commit();
        return rc;
      });
    } catch (...) {
      return ERROR_CANTWRITE;
    }
  }

  void Prepare(Db& db) {
    if (!schemaReady_) {
      EnsureSchema(db);
      schemaReady_ = true;
    }
  }

  static ValueRow Row(Stmt& q, int col) {
    ValueRow r;
    r.type = static_cast<DWORD>(q.Int(col));
    auto blob = q.Blob(col + 1);
    r.data.assign(blob.begin(), blob.end());
    r.wide = q.Int(col + 2) != 0;
    return r;
  }

  HKEY NewHandle(KeyHandle h) {
    uintptr_t v = gNextHandle.fetch_add(4);
    std::lock_guard lock(mutex_);
    handles_.emplace(v, std::move(h));
    return reinterpret_cast<HKEY>(v);
  }

  LONG OpenOrCreate(HKEY key, std::u16string_view subKey, REGSAM sam, bool create, HKEY* result, DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if ((sam & KEY_WOW64_32KEY) && (sam & KEY_WOW64_64KEY)) return ERROR_INVALID_PARAMETER;
    KeyHandle base;
    if (LONG rc = Lookup(key, 0, &base)) return rc;
    std::vector<std::u16string> parts;
    if (LONG rc = Split(subKey, &parts)) return rc;

    KeyHandle h;
    h.root = base.root;
    h.logical = base.logical;
    h.logical.insert(h.logical.end(), parts.begin(), parts.end());
    h.access = MapAccess(sam);
    const auto physical = Physical(h.root, h.logical, View32(sam));
    bool created = false;

    auto open = [&](Db& db) -> LONG {
      int64_t baseId = 0;
      if (LONG rc = Target(db, base, &baseId)) return rc;
      h.id = parts.empty() ? baseId : Walk(db, h.root, physical);
      return h.id ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    };
    LONG rc = Read(open);
    if (rc == ERROR_FILE_NOT_FOUND && create && !parts.empty()) {
      if ((base.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
      rc = Write([&](Db& db) -> LONG {
        int64_t baseId = 0;
        if (LONG rc = Target(db, base, &baseId)) return rc;
        int64_t id = h.root;
        for (const auto& part : physical) {
          int64_t next = Child(db, id, part);
          if (!next) {
            auto ins = db.Prepare("INSERT INTO reg_keys(parent, name, folded) VALUES(?, ?, ?)");
            ins.Bind(1, id).Bind(2, WideToUtf8(part)).Bind(3, Folded(part)).Step();
            next = db.LastInsertId();
            created = true;
          }
          id = next;
        }
        h.id = id;
        return ERROR_SUCCESS;
      });
    }
    if (rc) return rc;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(std::move(h));
    return ERROR_SUCCESS;
  }

  LONG QueryValue(HKEY key, std::u16string_view valueName, bool wideCaller, DWORD* type, BYTE* data, DWORD* cbData) {
    KeyHandle h;
    if (LONG rc = Lookup(key, KEY_QUERY_VALUE, &h)) return rc;
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    ValueRow row;
    LONG rc = Read([&](Db& db) -> LONG {
      int64_t id = 0;
      if (LONG rc = Target(db, h, &id)) return rc;
      auto q = db.Prepare("SELECT type, data, wide FROM reg_values WHERE key = ? AND folded = ?");
      q.Bind(1, id).Bind(2, Folded(valueName));
      if (!q.Step()) return ERROR_FILE_NOT_FOUND;
      row = Row(q, 0);
      return ERROR_SUCCESS;
    });
    if (rc) return rc;
    return CopyData(row, wideCaller, type, data, cbData);
  }

  // Strings come back byte for byte to the character width that wrote them, converted for the other.
  LONG CopyData(const ValueRow& row, bool wideCaller, DWORD* type, BYTE* data, DWORD* cbData) {
    std::string bytes = row.data;
    if (IsStringType(row.type) && row.wide != wideCaller) {
      bytes = wideCaller ? AnsiBytesToWideBytes(CodePage(), bytes) : WideBytesToAnsiBytes(CodePage(), bytes);
    }
    if (type) *type = row.type;
    if (!cbData) return ERROR_SUCCESS;
    const auto size = static_cast<DWORD>(bytes.size());
    if (!data) {
      *cbData = size;
      return ERROR_SUCCESS;
    }
    if (*cbData < size) {
      *cbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(data, bytes.data(), size);
    *cbData = size;
    return ERROR_SUCCESS;
  }

  static LONG CopyName(const std::u16string& found, char16_t* name, DWORD* cchName) {
    if (found.size() + 1 > *cchName) return ERROR_MORE_DATA;
    std::memcpy(name, found.data(), found.size() * sizeof(char16_t));
    name[found.size()] = 0;
    *cchName = static_cast<DWORD>(found.size());
    return ERROR_SUCCESS;
  }

  LONG SetValue(HKEY key, std::u16string_view valueName, DWORD type, const BYTE* data, DWORD cbData, bool wide) {
    KeyHandle h;
    if (LONG rc = Lookup(key, KEY_SET_VALUE, &h)) return rc;
    if (!data && cbData) return ERROR_INVALID_PARAMETER;
    return Write([&](Db& db) -> LONG {
      int64_t id = 0;
      if (LONG rc = Target(db, h, &id)) return rc;
      // An existing value keeps its place in the enumeration and the case of its name.
      auto q = db.Prepare(
          "INSERT INTO reg_values(key, name, folded, type, data, wide) VALUES(?, ?, ?, ?, ?, ?)"
          " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data, wide = excluded.wide");
      q.Bind(1, id)
          .Bind(2, WideToUtf8(valueName))
          .Bind(3, Folded(valueName))
          .Bind(4, static_cast<int64_t>(type))
          .BindBlob(5, data, cbData)
          .Bind(6, static_cast<int64_t>(wide ? 1 : 0))
          .Step();
      return ERROR_SUCCESS;
    });
  }

  LONG DeleteKey(HKEY key, std::u16string_view subKey, REGSAM view, bool tree) {
    if ((view & KEY_WOW64_32KEY) && (view & KEY_WOW64_64KEY)) return ERROR_INVALID_PARAMETER;
    KeyHandle base;
    if (LONG rc = Lookup(key, 0, &base)) return rc;
    std::vector<std::u16string> parts;
    if (LONG rc = Split(subKey, &parts)) return rc;
    std::vector<std::u16string> logical = base.logical;
    logical.insert(logical.end(), parts.begin(), parts.end());
    const auto physical = Physical(base.root, logical, View32(view));
    return Write([&](Db& db) -> LONG {
      int64_t baseId = 0;
      if (LONG rc = Target(db, base, &baseId)) return rc;
      int64_t id = parts.empty() ? baseId : Walk(db, base.root, physical);
      if (!id) return ERROR_FILE_NOT_FOUND;
      if (id == kHklm || id == kHku) return ERROR_ACCESS_DENIED;
      if (!tree) {
        auto q = db.Prepare("SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
        q.Bind(1, id);
        if (q.Step()) return ERROR_ACCESS_DENIED;
      }
      static constexpr char kTree[] =
          "WITH RECURSIVE t(id) AS (SELECT ? UNION ALL SELECT k.id FROM reg_keys k JOIN t ON k.parent = t.id) ";
      db.Prepare(std::string(kTree) + "DELETE FROM reg_values WHERE key IN t").Bind(1, id).Step();
      db.Prepare(std::string(kTree) + "DELETE FROM reg_keys WHERE id IN t").Bind(1, id).Step();
      return ERROR_SUCCESS;
    });
  }

  std::shared_ptr<Machine> m_;
  std::mutex mutex_;
  std::unordered_map<uintptr_t, KeyHandle> handles_;
  bool schemaReady_ = false;  // guarded by the machine's registry lock
};

}  // namespace

std::unique_ptr<win::IRegistry> MakeRegistry(std::shared_ptr<Machine> machine) {
  return std::make_unique<WinsimRegistry>(std::move(machine));
}

}  // namespace winsim

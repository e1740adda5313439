#pragma once

// The catalog's SQLite helpers, shared by its source files.

#include "Catalog.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

namespace stowkeep::engine::catalog {

// Rows still standing in the newest manifest of their line.
constexpr int64_t kOpen = INT32_MAX;

inline bool isDamage(int code)
{
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

inline CatalogError sqlError(sqlite3* db, const std::string& context)
{
    const int code = db ? sqlite3_errcode(db) : SQLITE_NOMEM;
    std::string text = db ? sqlite3_errmsg(db) : "out of memory";
    // A journal that cannot grow on a full disk is "disk I/O error" to SQLite.
    const int error = db ? sqlite3_system_errno(db) : 0;
    if (code == SQLITE_FULL || error == ENOSPC || error == EDQUOT)
        text = "the disk that holds it is full (" + text + ")";
    // The catalog's own inserts never meet a row twice in a sound catalog (each looks first):
    // a conflict is damage that SQLite read without a word, rows out of order in a page.
    return CatalogError(context + ": " + text, isDamage(code) || code == SQLITE_CONSTRAINT);
}

// A prepared statement, finalized when it leaves scope.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            // The catalog's own statements fail to compile only on a schema that is not its
            // own, a table's definition damaged ("no such column"): damage too.
            const CatalogError e = sqlError(db, "catalog query failed");
            throw sqlite3_errcode(db) == SQLITE_ERROR ? CatalogError(e.what(), true) : e;
        }
    }
    Statement(sqlite3* db, const std::string& sql) : Statement(db, sql.c_str()) {}
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, int64_t v) { check(sqlite3_bind_int64(m_stmt, i, v)); }
    void bind(int i, const std::string& v)
    {
        check(sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    // Not copied: v must stay as it is until the statement has run.
    void bindUncopied(int i, std::string_view v)
    {
        check(sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    }
    void bindNull(int i) { check(sqlite3_bind_null(m_stmt, i)); }

    // True while there is a row.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw sqlError(m_db, "catalog query failed");
    }
    // Runs a statement that returns no row, then makes it ready for new values.
    void run()
    {
        step();
        reset();
    }
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

    int64_t integer(int col) const { return sqlite3_column_int64(m_stmt, col); }
    bool isNull(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
    std::string text(int col) const
    {
        const auto* p = sqlite3_column_text(m_stmt, col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)))
                 : std::string();
    }
    void text(int col, std::string& out) const
    {
        const auto* p = sqlite3_column_text(m_stmt, col);
        if (p)
            out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)));
        else
            out.clear();
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            throw sqlError(m_db, "catalog query failed");
    }

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// A transaction that rolls back unless committed.
class Transaction
{
public:
    explicit Transaction(sqlite3* db) : m_db(db)
    {
        if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw sqlError(db, "cannot begin a catalog transaction");
    }
    ~Transaction()
    {
        if (!m_done)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit()
    {
        if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw sqlError(m_db, "cannot commit to the catalog");
        m_done = true;
    }

private:
    sqlite3* m_db;
    bool m_done = false;
};

// The runs table's columns in the order readRun takes them.
constexpr const char* kRunColumns =
    "id, set_name, folder, start_time, end_time, kind, archive, result, files, bytes, "
    "files_written, bytes_read, bytes_written, verified, manifest_run, checked, medium, medium_mount, failure";
RunRecord readRun(const Statement& s);

} // namespace stowkeep::engine::catalog

#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace ota::test
{

// A second, raw connection for what the repository never does: forbidden statements, locks,
// foreign layouts, inspecting the schema.
class CRawDatabase
{
public:
    explicit CRawDatabase(const std::filesystem::path& path)
    {
        sqlite3_open_v2(path.c_str(), &m_database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    ~CRawDatabase() { sqlite3_close_v2(m_database); }
    CRawDatabase(const CRawDatabase&) = delete;
    CRawDatabase& operator=(const CRawDatabase&) = delete;

    // Empty on success, else SQLite's message.
    std::string execute(const std::string& sql)
    {
        char* message = nullptr;
        const int resultCode = sqlite3_exec(m_database, sql.c_str(), nullptr, nullptr, &message);
        std::string text = resultCode == SQLITE_OK ? "" : (message != nullptr ? message : sqlite3_errstr(resultCode));
        sqlite3_free(message);
        return text;
    }

    // The first column of the first row as text; empty when there is none.
    std::string scalar(const std::string& sql)
    {
        sqlite3_stmt* statement = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(m_database, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr)
        {
            value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
        return value;
    }

private:
    sqlite3* m_database = nullptr;
};

}  // namespace ota::test

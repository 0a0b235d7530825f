// SqlValue, SqlRow, SqlResult: what statements of a ConfigBackend take and
// give back. Value types.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct SqlValue {
    enum class Type { kNull, kInteger, kBytes };
    Type type = Type::kNull;
    int64_t integer = 0;
    std::string bytes;  // any bytes, NUL included

    static SqlValue Null() { return SqlValue(); }
    static SqlValue Int(int64_t value) {
        SqlValue v;
        v.type = Type::kInteger;
        v.integer = value;
        return v;
    }
    static SqlValue Bytes(std::string value) {
        SqlValue v;
        v.type = Type::kBytes;
        v.bytes = std::move(value);
        return v;
    }
    bool IsNull() const { return type == Type::kNull; }
};

using SqlRow = std::vector<SqlValue>;

struct SqlResult {
    enum class Outcome {
        kOk,
        kUniqueViolation,      // a primary key or unique value exists already
        kForeignKeyViolation,  // a referenced row is missing
        kConnectionLost,       // nothing of the unit was committed
        kCommitUnknown,        // lost while committing: all of it or nothing was
        kFailed                // any other failure; message says which
    };
    Outcome outcome = Outcome::kOk;
    std::string message;  // the database's text, printable and bounded

    bool ok() const { return outcome == Outcome::kOk; }
    static SqlResult Ok() { return SqlResult(); }
    static SqlResult Fail(Outcome outcome, std::string message) {
        SqlResult result;
        result.outcome = outcome;
        result.message = std::move(message);
        return result;
    }
};

// A table's rows as the check run's transaction sees them, and what changed
// between two such views. The server digests each row: its primary key as
// the server compares it (case and trailing blanks as its collation says)
// and its whole content byte for byte. Only the digests travel.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr int DigestBytes = 16;

struct RowDigest {
    unsigned char key[DigestBytes];
    unsigned char row[DigestBytes];
};

struct TableSnapshot {
    std::string query;             // the digest query, made once per table
    bool keyed = false;            // the table has a primary key
    std::vector<RowDigest> rows;   // sorted by key, then content
};

// Reads the digests of every row of RURUVURO.table into snapshot (the
// query is made on the first call and kept). 0 or the error number.
int32_t takeSnapshot(const char* table, TableSnapshot& snapshot);

// What turned the rows of before into those of after: rows whose key is new,
// rows with a key of before whose content differs, and keys that are gone.
// A table without a primary key has whole rows for keys: nothing counts as
// changed there, only as deleted and inserted.
struct TableChanges {
    long inserted = 0;
    long changed = 0;
    long deleted = 0;
};
TableChanges compareSnapshots(const TableSnapshot& before, const TableSnapshot& after);

// Searching the transcript file through its full-text index: the whole file,
// or a stretch of it read between the stretch's first and last rows.

#include <sqlite3.h>

#include <algorithm>
#include <string_view>

#include "platform/system/Text.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptDBSql.hpp"

namespace verbolin {

using namespace transcript_sql;

namespace {

// Unicode white space and line breaks separate the words of a query.
std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0, wordStart = 0;
    while (i < text.size()) {
        const size_t at = i;
        const auto c = platform::text::decodeScalar(text, i);
        if (c && platform::text::isWhiteSpace(*c)) {
            if (at > wordStart) words.push_back(text.substr(wordStart, at - wordStart));
            wordStart = i;
        }
    }
    if (text.size() > wordStart) words.push_back(text.substr(wordStart));
    return words;
}

}  // namespace

std::vector<std::string_view> TranscriptDB::queryWords(std::string_view query) {
    return splitWords(query);
}

std::string TranscriptDB::matchExpression(std::string_view query) {
    std::string out;
    for (std::string_view word : splitWords(query)) {
        if (!out.empty()) out += ' ';
        out += '"';
        for (char c : word) {
            if (c == '"') out += '"';
            out += c;
        }
        out += "\"*";
    }
    return out;
}

std::unordered_set<platform::Uuid> TranscriptDB::search(std::string_view query) {
    std::unordered_set<platform::Uuid> ids;
    for (const SearchHit& hit : searchHits(query)) ids.insert(hit.id);
    return ids;
}

namespace {

// Steps a query of (start, id) rows to its end, keeping the rows whose id
// reads; SQLite's last answer.
int readHits(sqlite3_stmt* st, std::vector<TranscriptDB::SearchHit>& hits) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        // Its length by its end rather than by another call, each of which
        // takes the connection's lock: an id with a NUL in it is none anyway.
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        const auto id = platform::Uuid::parse(text ? std::string_view(text) : "");
        if (id) hits.push_back({sqlite3_column_double(st, 0), *id});
    }
    return rc;
}

}  // namespace

std::vector<TranscriptDB::SearchHit> TranscriptDB::searchHits(std::string_view query) {
    std::vector<SearchHit> hits;
    std::string match = matchExpression(query);
    if (match.empty()) return hits;
    // Joined in the index's order, rather than gathered into a set first:
    // a short prefix finds most of the transcript.
    Statement st(prepare(
        "SELECT segments.start, segments.id FROM segments_fts JOIN segments ON segments.rowid = "
        "segments_fts.rowid WHERE segments_fts MATCH ?",
        "searching"));
    if (!st) return hits;
    bindText(st.stmt, 1, match);
    const int rc = readHits(st.stmt, hits);
    if (rc != SQLITE_DONE) logStorageError(std::string("search stopped early: ") + errorText(db_));
    return hits;
}

std::optional<std::vector<std::string>> TranscriptDB::termsStartingWith(std::string_view prefix,
                                                                        size_t most) {
    if (prefix.empty() || static_cast<unsigned char>(prefix.back()) >= 0x7f) return std::nullopt;
    if (!termsListed_) {
        // In the connection's own temporary schema: the file is not changed.
        try {
            exec(
                "CREATE VIRTUAL TABLE IF NOT EXISTS temp.segments_fts_instances USING "
                "fts5vocab(main, segments_fts, instance)");
            termsListed_ = true;
        } catch (const platform::AppError& e) {
            logStorageError(std::string("the index's terms cannot be listed: ") + e.what());
            termsListed_ = false;
        }
    }
    if (!*termsListed_) return std::nullopt;
    // One row per term: each read from the first place of the next term on,
    // rather than past every place of the one before.
    Statement st(
        prepare("SELECT term FROM temp.segments_fts_instances WHERE term >= ? AND term < ? LIMIT 1",
                "listing the index's terms"));
    if (!st) return std::nullopt;
    std::string end(prefix);
    ++end.back();
    std::vector<std::string> terms;
    std::string from(prefix);
    for (;;) {
        sqlite3_bind_text(st.stmt, 1, from.data(), int(from.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st.stmt, 2, end.data(), int(end.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(st.stmt);
        if (rc == SQLITE_DONE) return terms;
        if (rc != SQLITE_ROW) {
            logStorageError(std::string("listing the index's terms stopped early: ") +
                            errorText(db_));
            return std::nullopt;
        }
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, 0));
        if (!text || terms.size() == most) return std::nullopt;
        terms.emplace_back(text, size_t(sqlite3_column_bytes(st.stmt, 0)));
        // The least text after the term: no term holds a control character.
        from = terms.back() + '\x01';
        sqlite3_reset(st.stmt);
    }
}

std::string TranscriptDB::spelledOutExpression(std::string_view query, size_t most) {
    std::string out;
    for (std::string_view word : splitWords(query)) {
        // Groups in brackets are joined by AND alone: side by side they are no query.
        if (!out.empty()) out += " AND ";
        const bool plain = std::all_of(word.begin(), word.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
        std::optional<std::vector<std::string>> terms;
        if (plain) terms = termsStartingWith(asciiLower(std::string(word)), most);
        if (!terms) {
            out += matchExpression(word);
            continue;
        }
        if (terms->empty()) return {};
        out += '(';
        for (size_t i = 0; i < terms->size(); ++i) {
            if (i > 0) out += " OR ";
            out += '"' + (*terms)[i] + '"';
        }
        out += ')';
    }
    return out;
}

std::optional<std::vector<TranscriptDB::SearchHit>> TranscriptDB::searchHitsBetween(
    std::string_view query, double from, double to) {
    std::vector<SearchHit> hits;
    const std::string match = spelledOutExpression(query, kMostSpelledOut);
    if (match.empty()) return hits;
    // Rows are numbered as they were written, mostly in time: the stretch's
    // lowest and highest numbers bound the index's rows to read, and what
    // an edit wrote again under a new number is left out by its start.
    sqlite3_int64 first = 0, last = 0;
    {
        Statement st(
            prepare("SELECT min(+rowid), max(+rowid) FROM segments WHERE start >= ? AND "
                    "start <= ?",
                    "searching a stretch"));
        if (!st) return std::nullopt;
        sqlite3_bind_double(st.stmt, 1, from);
        sqlite3_bind_double(st.stmt, 2, to);
        if (sqlite3_step(st.stmt) != SQLITE_ROW) {
            logStorageError(std::string("search stopped early: ") + errorText(db_));
            return std::nullopt;
        }
        if (sqlite3_column_type(st.stmt, 0) == SQLITE_NULL) return hits;
        first = sqlite3_column_int64(st.stmt, 0);
        last = sqlite3_column_int64(st.stmt, 1);
    }
    // The index drives: looked up from each segment instead, it would
    // match the whole query once per row.
    Statement st(prepare(
        "SELECT segments.start, segments.id FROM segments_fts CROSS JOIN segments ON "
        "segments.rowid = segments_fts.rowid WHERE segments_fts MATCH ? AND segments_fts.rowid "
        "BETWEEN ? AND ? AND segments.start >= ? AND segments.start <= ?",
        "searching a stretch"));
    if (!st) return std::nullopt;
    bindText(st.stmt, 1, match);
    sqlite3_bind_int64(st.stmt, 2, first);
    sqlite3_bind_int64(st.stmt, 3, last);
    sqlite3_bind_double(st.stmt, 4, from);
    sqlite3_bind_double(st.stmt, 5, to);
    const int rc = readHits(st.stmt, hits);
    if (rc != SQLITE_DONE) {
        logStorageError(std::string("search stopped early: ") + errorText(db_));
        return std::nullopt;
    }
    return hits;
}

std::unordered_set<platform::Uuid> TranscriptDB::searchBetween(std::string_view query, double from,
                                                               double to) {
    std::unordered_set<platform::Uuid> ids;
    const std::string match = matchExpression(query);
    if (match.empty()) return ids;
    std::vector<sqlite3_int64> found;
    {
        Statement st(
            prepare("SELECT rowid FROM segments_fts WHERE segments_fts MATCH ?", "searching"));
        if (!st) return ids;
        bindText(st.stmt, 1, match);
        int rc;
        while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW)
            found.push_back(sqlite3_column_int64(st.stmt, 0));
        if (rc != SQLITE_DONE) {
            logStorageError(std::string("search stopped early: ") + errorText(db_));
            return ids;
        }
    }
    std::sort(found.begin(), found.end());
    Statement st(prepare("SELECT rowid, id FROM segments WHERE start >= ? AND start < ?",
                         "searching a stretch"));
    if (!st) return ids;
    sqlite3_bind_double(st.stmt, 1, from);
    sqlite3_bind_double(st.stmt, 2, to);
    int rc;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
        if (!std::binary_search(found.begin(), found.end(), sqlite3_column_int64(st.stmt, 0)))
            continue;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, 1));
        if (auto id = platform::Uuid::parse(text ? std::string_view(text) : "")) ids.insert(*id);
    }
    if (rc != SQLITE_DONE) logStorageError(std::string("search stopped early: ") + errorText(db_));
    return ids;
}

}  // namespace verbolin

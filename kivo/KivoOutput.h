// The kivo command's output forms. JSON is written here alone, so every
// program that answers in "the JSON of kivo query --json" calls these.
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

namespace kivo {

struct QueryResult;

// The float's shortest decimal form that reads back as the same float, as a
// double (so JSON shows 0.25, not 0.25000000372529).
double ShortestDecimal(float value);

// {"results": [{"rank": 1, "key": "...", "path": "...", "distance": 0.0}, ...]}
nlohmann::ordered_json ResultsJson(const QueryResult& result);
// One JSON text and a line feed. Text that is not UTF-8 (a path of bytes
// that are no characters) is written with replacement characters.
void WriteJson(std::ostream& out, const nlohmann::ordered_json& value);

// Header "rank\tkey\tpath\tdistance", then one line per hit. A path's
// backslashes, tabs, line feeds and carriage returns are written as \\, \t,
// \n and \r.
void WriteResultsTsv(std::ostream& out, const QueryResult& result);
// A readable table: rank, distance ("%f"), key.
void WriteResultsTable(std::ostream& out, const QueryResult& result);

// Field escaping of the TSV form.
std::string TsvField(const std::string& text);

}  // namespace kivo

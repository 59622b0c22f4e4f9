#include "KivoOutput.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "KivoQuery.h"

namespace kivo {

double ShortestDecimal(float value) {
  char text[64];
  const auto r = std::to_chars(text, text + sizeof text - 1, value);
  *r.ptr = '\0';
  return std::strtod(text, nullptr);
}

nlohmann::ordered_json ResultsJson(const QueryResult& result) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const QueryHit& hit : result.hits) {
    nlohmann::ordered_json h;
    h["rank"] = hit.rank;
    h["key"] = hit.key;
    h["path"] = hit.path;
    h["distance"] = ShortestDecimal(hit.distance);
    list.push_back(std::move(h));
  }
  nlohmann::ordered_json out;
  out["results"] = std::move(list);
  return out;
}

void WriteJson(std::ostream& out, const nlohmann::ordered_json& value) {
  out << value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

std::string TsvField(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

void WriteResultsTsv(std::ostream& out, const QueryResult& result) {
  out << "rank\tkey\tpath\tdistance\n";
  char distance[32];
  for (const QueryHit& hit : result.hits) {
    std::snprintf(distance, sizeof distance, "%f", static_cast<double>(hit.distance));
    out << hit.rank << '\t' << TsvField(hit.key) << '\t' << TsvField(hit.path) << '\t' << distance << '\n';
  }
}

void WriteResultsTable(std::ostream& out, const QueryResult& result) {
  char line[64];
  out << "rank    distance  key\n";
  for (const QueryHit& hit : result.hits) {
    std::snprintf(line, sizeof line, "%4d  %10f  ", hit.rank, static_cast<double>(hit.distance));
    out << line << hit.key << '\n';
  }
}

}  // namespace kivo

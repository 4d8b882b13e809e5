// The result cache's own statements.
#pragma once

namespace brindle::result_cache::text {

// DuckDB's parse of a statement, as JSON.
constexpr const char *kSerializeStatement = "SELECT json_serialize_sql(?)";
// Every function and whether all its overloads are CONSISTENT.
constexpr const char *kFunctionStabilities =
    "SELECT function_name, bool_and(coalesce(stability = 'CONSISTENT', false)) "
    "FROM duckdb_functions() GROUP BY function_name";

}  // namespace brindle::result_cache::text

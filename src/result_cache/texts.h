// The result cache's own statements.
#pragma once

namespace brindle::result_cache::text {

// Log lines.
constexpr const char *kNotCached = "Answers to a query of {database}.{table} are not kept: {reason}";
constexpr const char *kAnsweredFromCache = "Answered a query of {database}.{table} from the result cache";

// DuckDB's parse of a statement, as JSON.
constexpr const char *kSerializeStatement = "SELECT json_serialize_sql(?)";
// Every function and whether all its overloads are CONSISTENT.
constexpr const char *kFunctionStabilities =
    "SELECT function_name, bool_and(coalesce(stability = 'CONSISTENT', false)) "
    "FROM duckdb_functions() GROUP BY function_name";

// The overloads of every function whose overloads are not all CONSISTENT.
constexpr const char *kMixedOverloads =
    "SELECT function_name, parameter_types, coalesce(stability = 'CONSISTENT', false) FROM duckdb_functions() "
    "WHERE function_name IN (SELECT function_name FROM duckdb_functions() GROUP BY function_name "
    "HAVING NOT bool_and(coalesce(stability = 'CONSISTENT', false)))";
// DuckDB's bound plan of a statement, as JSON: each table read, each call
// with its argument types. Not optimized: the optimizer may fold calls and
// drop scans, and what was written is what is judged.
constexpr const char *kSerializePlan = "SELECT json_serialize_plan(?, optimize := false)";
// The catalog a statement's unqualified names resolve in.
constexpr const char *kCurrentCatalog = "SELECT current_database()";

}  // namespace brindle::result_cache::text

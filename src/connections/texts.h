// Everything of the connections that callers see as text: statements and log lines.
#pragma once

namespace brindle::connections::text {

constexpr const char *kAttachCatalog = "ATTACH ':memory:' AS \"{catalog}\"";
constexpr const char *kUseCatalog = "USE \"{catalog}\"";
constexpr const char *kSetUpCatalogCursor = "SET python_enable_replacements = false; USE \"{catalog}\"";
constexpr const char *kDetachCatalog = "DETACH \"{catalog}\"";
constexpr const char *kCreatedFileConnection = "Created file-based DuckDB connection: {key} -> {path}";
constexpr const char *kCreatedConnection = "Created new DuckDB connection: {key}";
constexpr const char *kCloseDeferred = "Connection {key} closes when its {count} running statements end";
constexpr const char *kDeferredCloseFailed = "Closing a retired connection after its last statement failed: {error}";
constexpr const char *kClosedConnection = "Closed connection: {key}";
constexpr const char *kErrorClosing = "Error closing connection {key}: {error}";
constexpr const char *kOpeningTimedOut =
    "Failed to acquire lock for {key} within {timeout}s: another thread is still opening its connection";

}  // namespace brindle::connections::text

// Structure update: bring a database's tables, fields and indexes in line with a template.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "maintenance/host.h"

namespace tidewell {

// True when an error was shown to the user.
bool UpdateDB(Host& host, engine::Database& target, const std::string& templatePath);
// Whether the template opens as UpdateDB opens it; when it does not, shows UpdateDB's own
// message about it. Lets a caller find out before it changes anything that the update
// would need the template.
bool TemplateOpens(Host& host, const std::string& templatePath);
void dbAddTable(Host& host, engine::Database& db, const std::string& tableName);
void dbAddField(engine::Database& db, const std::string& tableName, const std::string& fieldName,
                int32_t fieldType, int32_t fieldSize, int32_t attributes);
void dbAddIndex(engine::Database& db, const std::string& tableName, const std::string& indexName,
                const std::string& fields, bool unique, bool primary);
void dbIdle();

}  // namespace tidewell

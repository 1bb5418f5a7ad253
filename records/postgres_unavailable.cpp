// A build without libpq (the Windows one): postgresql:// URLs are refused
// with a cause the user can act on.
#include "records/database.h"

namespace dravel::records {

std::unique_ptr<Database> OpenPostgres(const std::string&, OpenMode, DbStatus& status) {
    status = DbStatus::Refused(
        "records on a PostgreSQL server are not available in this build of dravel; keep them in an SQLite file "
        "(--records PATH)");
    return nullptr;
}

}  // namespace dravel::records

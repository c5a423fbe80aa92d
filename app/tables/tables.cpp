// The static descriptors of the application tables. The list of tables runs
// from the last registered to the first, and a database binds them in that
// order; Category is registered before RecordCategory, which references it.
#include "app/tables/tables.h"

REGISTER(MsgRecord);
REGISTER(Record);
REGISTER(ColWidth);
REGISTER(PrintPreviewSetup);
REGISTER(Category);
REGISTER(RecordCategory);
REGISTER(BackupRecord);

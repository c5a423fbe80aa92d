// The application tables of the database "Torvik": the record classes, in
// object order, each with its description in stored order. Texts are ANSI
// texts; nameA and remarkA of Record hold UTF-16LE bytes without terminator.
#pragma once

#include "engine/datetime.h"
#include "engine/describe.h"

// The messages sent from the main window, one per "Send Message".
struct MsgRecord {
  char const* gcm_token;
  char const* msg;
  char const* id;
  char const* title;
  char const* content;
  char const* imgurl;
  char const* mobile;

  TYPE_DESCRIPTOR((FIELD(gcm_token), FIELD(msg), FIELD(id), FIELD(title), FIELD(content), FIELD(imgurl),
                   FIELD(mobile)));
};

// The data records of the record list and the record editor.
struct Record {
  char const* name;
  int4 namelen;
  char const* remark;
  int4 remarklen;
  dbArray<int1> nameA;
  dbArray<int1> remarkA;

  TYPE_DESCRIPTOR((FIELD(name), FIELD(remark), FIELD(namelen), FIELD(remarklen), FIELD(nameA), FIELD(remarkA)));
};

// Saved column widths of the record windows' grids.
struct ColWidth {
  int1 type;  // the grid; the record list uses 1
  int1 col;
  int2 width;  // pixels

  TYPE_DESCRIPTOR((FIELD(type), FIELD(col), FIELD(width)));
};

// The print preview's page settings.
struct PrintPreviewSetup {
  int1 pageSize;  // index into the preview's paper list
  real8 pageHeight;  // millimetres
  real8 pageWidth;

  TYPE_DESCRIPTOR((FIELD(pageSize), FIELD(pageHeight), FIELD(pageWidth)));
};

struct Category {
  char const* name;

  TYPE_DESCRIPTOR((FIELD(name)));
};

struct RecordCategory {
  dbReference<Category> category;
  char const* name;
  char const* remark;

  TYPE_DESCRIPTOR((FIELD(category), FIELD(name), FIELD(remark)));
};

struct BackupRecord {
  dbDateTime lastBackupDate;
  bool everytime;
  bool everyday;
  int1 lastBackup;
  int1 totalBackup;
  char const* path;
  char const* path2;
  bool backupPath;
  bool backupPath2;
  bool everyhour;
  int1 hour;
  bool isEveryTime;

  TYPE_DESCRIPTOR((FIELD(lastBackupDate), FIELD(everytime), FIELD(everyday), FIELD(lastBackup), FIELD(totalBackup),
                   FIELD(path), FIELD(path2), FIELD(backupPath), FIELD(backupPath2), FIELD(everyhour), FIELD(hour),
                   FIELD(isEveryTime)));
};

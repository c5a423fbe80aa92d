// dbDateTime: a point in time as seconds since 1 January 1970 UTC, stored as
// its one int4 member "stamp". Its methods, computed from the local time of
// the stamp, are method members that queries use like stored members, e.g.
// "lastBackupDate.year".
#pragma once

#include <ctime>

#include "engine/describe.h"
#include "engine/types.h"

class dbDateTime {
 public:
  int4 stamp;

  // A fresh dbDateTime holds no time: stamp -1.
  dbDateTime() : stamp(-1) {}
  explicit dbDateTime(int4 stamp) : stamp(stamp) {}
  static dbDateTime current() { return dbDateTime(static_cast<int4>(time(nullptr))); }

  bool isValid() const { return stamp != -1; }

  int4 year() const;       // full year
  int4 month() const;      // 1 to 12
  int4 day() const;        // day of the month, 1 to 31
  int4 dayOfYear() const;  // 1 to 366
  int4 dayOfWeek() const;  // 1 to 7, Sunday being 1
  int4 hour() const;
  int4 minute() const;
  int4 second() const;

  // The stamp carries both index flags; they take effect only where the
  // member holding the dbDateTime is indexed.
  TYPE_DESCRIPTOR((KEY(stamp, HASHED | INDEXED), METHOD_MEMBER(year), METHOD_MEMBER(month), METHOD_MEMBER(day), METHOD_MEMBER(dayOfYear),
                   METHOD_MEMBER(dayOfWeek), METHOD_MEMBER(hour), METHOD_MEMBER(minute), METHOD_MEMBER(second)));

 private:
  struct tm localTime() const;
};

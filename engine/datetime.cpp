#include "engine/datetime.h"

struct tm dbDateTime::localTime() const {
  time_t t = stamp;
  struct tm parts;
  localtime_r(&t, &parts);
  return parts;
}

int4 dbDateTime::year() const { return localTime().tm_year + 1900; }
int4 dbDateTime::month() const { return localTime().tm_mon + 1; }
int4 dbDateTime::day() const { return localTime().tm_mday; }
int4 dbDateTime::dayOfYear() const { return localTime().tm_yday + 1; }
int4 dbDateTime::dayOfWeek() const { return localTime().tm_wday + 1; }
int4 dbDateTime::hour() const { return localTime().tm_hour; }
int4 dbDateTime::minute() const { return localTime().tm_min; }
int4 dbDateTime::second() const { return localTime().tm_sec; }

// What every window of the program shares: the one database handle and the
// name of the organisation that uses the program.
#pragma once

#include "wrapper/ardon_database.h"

// The program's only database handle, read-write with the program's file
// geometry and one scan thread. The main window opens it; every window
// commits through it.
ardonDatabase& theDatabase();

// The report title: the organisation using the program, fixed when the
// program is built (the CMake setting TORVIK_COMPANY_NAME).
const char* companyName();

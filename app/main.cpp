// The program's entry. The table descriptors have registered themselves
// already; the database object comes next, before any window, and lives until
// the process ends. The main window opens the database when it is first shown
// and leaves it open when the program ends.
#include <QApplication>

#include "app/main_form.h"
#include "app/program.h"

int main(int argc, char** argv) {
  theDatabase();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ardon SMS"));
  useProgramFont();
  TMainForm form;
  form.show();
  return application.exec();
}

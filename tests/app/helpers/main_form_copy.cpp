// A copy of the program for the tests that start one in a process of its
// own: the program's start-up on the database named by the first argument.
// Every message box is answered at once, yes to questions; their texts are
// written to the standard output, one a line, when the program ends.
#include <QApplication>

#include <cstdio>

#include "app/main_form.h"
#include "app/program.h"
#include "tests/app/dialog_answerer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <database name>\n", argv[0]);
    return 2;
  }
  theDatabase();
  QApplication application(argc, argv);
  useProgramFont();
  DialogAnswerer answerer;
  TMainFormSetup setup;
  setup.databaseName = argv[1];
  TMainForm form(nullptr, setup);
  form.show();
  int result = application.exec();
  for (const QString& text : answerer.messages + answerer.errors) std::printf("%s\n", text.toUtf8().constData());
  return result;
}

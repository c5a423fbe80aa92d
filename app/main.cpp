// The program's entry. Until the main window exists this starts the folder
// picker on its own; the main window will take this place over.
#include <QApplication>

#include "app/folder_select_form.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ardon SMS"));
  useProgramFont();
  TFolderSelectForm form(nullptr);
  form.exec();
  return 0;
}

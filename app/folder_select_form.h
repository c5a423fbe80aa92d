// The folder picker: a drive (a mounted file system) and a folder tree on it.
#pragma once

#include <QPersistentModelIndex>
#include <QString>
#include <QStringList>

#include "app/form.h"

class QAction;
class QComboBox;
class QFileSystemModel;
class QFrame;
class QLineEdit;
class QPushButton;
class QTreeView;

// Shown modally: mrOk when the user chose the folder selected in the tree,
// mrCancel when nothing was chosen. The tree starts at the process's current
// directory; picking a folder never changes the process's current directory.
class TFolderSelectForm : public TForm {
  Q_OBJECT

 public:
  explicit TFolderSelectForm(QWidget* owner);

  // The folder selected in DirectoryListBox1, as an absolute path.
  QString selectedFolder() const;

  QComboBox* DriveComboBox1;
  QTreeView* DirectoryListBox1;
  QLineEdit* folder;
  QFrame* actionPanel;
  QPushButton* saveButton;
  QPushButton* exitButton;

  QAction* saveAction;  // F4
  QAction* exitAction;  // Esc
  QAction* helpAction;  // F1

 private:
  void DriveComboBox1Change();
  void DirectoryListBox1Change();
  void saveActionExecute();
  void exitActionExecute();

  // Roots the tree at the drive and selects `path` on it.
  void showDrive(const QString& drive, const QString& path);
  // The tree shows the drive as its one top node: the folders beside it (when
  // the drive is itself a folder of another drive) are hidden.
  void setBesideDriveHidden(bool hidden);

  // The folders arrive from a background reader and are sorted after they come
  // in, which moves the rows. Until the user touches the tree, each arrival
  // scrolls the selected folder back into view.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keepSelectionInView();

  QFileSystemModel* directories;
  QPersistentModelIndex driveIndex;
  bool followSelection = true;
};

// The root paths of the mounted file systems, "/" first.
QStringList mountedDrives();

#include "app/folder_select_form.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileSystemModel>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStorageInfo>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

QStringList mountedDrives() {
  QStringList drives{QStorageInfo::root().rootPath()};
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
    if (volume.isValid() && volume.isReady() && !drives.contains(volume.rootPath())) drives << volume.rootPath();
  std::sort(drives.begin() + 1, drives.end());
  return drives;
}

TFolderSelectForm::TFolderSelectForm(QWidget* owner) : TForm(owner) {
  setWindowTitle(QStringLiteral("資料"));
  resize(800, 600);

  saveAction = newAction("saveAction", QStringLiteral("確定 F4"), Qt::Key_F4, [this] { saveActionExecute(); },
                         QStringLiteral("確定"));
  exitAction = newAction("exitAction", QStringLiteral("取消 Esc"), Qt::Key_Escape, [this] { exitActionExecute(); },
                         QStringLiteral("取消"));
  helpAction = newAction("helpAction", QStringLiteral("說明 F1"), Qt::Key_F1);

  DriveComboBox1 = new QComboBox;
  DriveComboBox1->setObjectName(QStringLiteral("DriveComboBox1"));
  DriveComboBox1->addItems(mountedDrives());

  directories = new QFileSystemModel(this);
  directories->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
  directories->setReadOnly(true);

  DirectoryListBox1 = new QTreeView;
  DirectoryListBox1->setObjectName(QStringLiteral("DirectoryListBox1"));
  DirectoryListBox1->setModel(directories);
  DirectoryListBox1->setHeaderHidden(true);
  for (int column = 1; column < directories->columnCount(); ++column) DirectoryListBox1->hideColumn(column);

  folder = new QLineEdit;
  folder->setObjectName(QStringLiteral("folder"));
  folder->setReadOnly(true);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(QStringLiteral("磁碟:")), 0, 0);
  fields->addWidget(DriveComboBox1, 0, 1);
  fields->addWidget(new QLabel(QStringLiteral("資料夾:")), 1, 0, Qt::AlignTop);
  fields->addWidget(DirectoryListBox1, 1, 1);
  fields->addWidget(new QLabel(QStringLiteral("選擇:")), 2, 0);
  fields->addWidget(folder, 2, 1);
  fields->setRowStretch(1, 1);

  actionPanel = newActionPanel({{&saveButton, saveAction}, {&exitButton, exitAction}}, QSize(120, 40), Align::Right);

  auto* page = new QVBoxLayout(this);
  page->addLayout(fields, 1);
  page->addWidget(actionPanel);

  connect(DriveComboBox1, &QComboBox::activated, this, [this] { guarded(this, [this] { DriveComboBox1Change(); }); });
  connect(DirectoryListBox1->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { guarded(this, [this] { DirectoryListBox1Change(); }); });
  connect(directories, &QFileSystemModel::rowsInserted, this, [this](const QModelIndex& parent) {
    if (parent == driveIndex.parent()) setBesideDriveHidden(true);
  });
  connect(directories, &QFileSystemModel::directoryLoaded, this, [this] { keepSelectionInView(); });
  connect(directories, &QFileSystemModel::layoutChanged, this, [this] { keepSelectionInView(); });
  for (QWidget* part : {static_cast<QWidget*>(DirectoryListBox1), DirectoryListBox1->viewport(),
                        static_cast<QWidget*>(DirectoryListBox1->verticalScrollBar())})
    part->installEventFilter(this);

  const QString current = QDir::currentPath();
  const QString drive = QStorageInfo(current).rootPath();
  if (DriveComboBox1->findText(drive) < 0) DriveComboBox1->addItem(drive);
  DriveComboBox1->setCurrentText(drive);
  showDrive(drive, current);
  DirectoryListBox1->setFocus();
}

QString TFolderSelectForm::selectedFolder() const {
  return directories->filePath(DirectoryListBox1->currentIndex());
}

bool TFolderSelectForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress ||
      event->type() == QEvent::Wheel)
    followSelection = false;
  return TForm::eventFilter(watched, event);
}

void TFolderSelectForm::keepSelectionInView() {
  if (followSelection)
    DirectoryListBox1->scrollTo(DirectoryListBox1->currentIndex(), QAbstractItemView::PositionAtCenter);
}

void TFolderSelectForm::showDrive(const QString& drive, const QString& path) {
  followSelection = true;
  setBesideDriveHidden(false);
  directories->setRootPath(drive);
  driveIndex = directories->index(drive);
  DirectoryListBox1->setRootIndex(driveIndex.parent());
  setBesideDriveHidden(true);
  const QModelIndex selected = directories->index(path);
  DirectoryListBox1->setCurrentIndex(selected);
  DirectoryListBox1->expand(selected);
  keepSelectionInView();
}

void TFolderSelectForm::setBesideDriveHidden(bool hidden) {
  if (!driveIndex.isValid()) return;
  const QModelIndex parent = driveIndex.parent();
  for (int row = 0; row < directories->rowCount(parent); ++row)
    DirectoryListBox1->setRowHidden(row, parent, hidden && row != driveIndex.row());
}

void TFolderSelectForm::DriveComboBox1Change() {
  const QString drive = DriveComboBox1->currentText();
  showDrive(drive, drive);
}

void TFolderSelectForm::DirectoryListBox1Change() { folder->setText(selectedFolder()); }

void TFolderSelectForm::saveActionExecute() { setModalResult(mrOk); }

void TFolderSelectForm::exitActionExecute() { setModalResult(mrCancel); }

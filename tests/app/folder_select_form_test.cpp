#include "app/folder_select_form.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QTreeView>

#include "tests/app/window_driver.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(FolderSelectForm, F4ChoosesAndEscCancelsWhereverTheFocusIs) {
  const struct {
    const char* how;
    Qt::Key key;
    bool focusOnDrives;
    int result;
  } cases[] = {{"F4 in the tree", Qt::Key_F4, false, mrOk},
               {"Esc in the tree", Qt::Key_Escape, false, mrCancel},
               {"F4 on the drive list", Qt::Key_F4, true, mrOk},
               {"Esc on the drive list", Qt::Key_Escape, true, mrCancel}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    TFolderSelectForm form(nullptr);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("資料"));
    onNextModal([&](QWidget*) {
      if (c.focusOnDrives) form.DriveComboBox1->setFocus();
      pressKey(c.key);
    });
    EXPECT_EQ(form.exec(), c.result);
  }
}

TEST(FolderSelectForm, StartsAtTheCurrentDirectory) {
  TempDir work;
  const QString current = QString::fromStdString(work.path());
  TFolderSelectForm form(nullptr);
  EXPECT_EQ(form.selectedFolder(), current);
  EXPECT_EQ(form.folder->text(), current);
  EXPECT_TRUE(form.folder->isReadOnly());
}

TEST(FolderSelectForm, FolderFollowsTheSelectionWithoutChangingTheCurrentDirectory) {
  TempDir work;
  const QString current = QString::fromStdString(work.path());
  const QString sub = current + QStringLiteral("/報表");
  ASSERT_TRUE(QDir().mkdir(sub));
  TFolderSelectForm form(nullptr);
  auto* model = qobject_cast<QFileSystemModel*>(form.DirectoryListBox1->model());
  ASSERT_NE(model, nullptr);
  form.DirectoryListBox1->setCurrentIndex(model->index(sub));
  EXPECT_EQ(form.selectedFolder(), sub);
  EXPECT_EQ(form.folder->text(), sub);
  EXPECT_EQ(QDir::currentPath(), current);
}

TEST(FolderSelectForm, DriveListHoldsTheRootAndSwitchesTheTree) {
  TempDir work;
  EXPECT_EQ(mountedDrives().value(0), QStringLiteral("/"));
  TFolderSelectForm form(nullptr);
  const int root = form.DriveComboBox1->findText(QStringLiteral("/"));
  ASSERT_GE(root, 0);
  form.DriveComboBox1->setCurrentIndex(root);
  emit form.DriveComboBox1->activated(root);
  EXPECT_EQ(form.selectedFolder(), QStringLiteral("/"));
  EXPECT_EQ(form.folder->text(), QStringLiteral("/"));
  // The drive is the tree's one visible top node.
  QTreeView* tree = form.DirectoryListBox1;
  const QModelIndex top = tree->rootIndex();
  int visible = 0;
  for (int row = 0; row < tree->model()->rowCount(top); ++row)
    if (!tree->isRowHidden(row, top)) ++visible;
  EXPECT_EQ(visible, 1);
}

}  // namespace

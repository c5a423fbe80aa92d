// The main window "Ardon SMS": composes a push message, looks up the phone's
// GCM token, stores each message and sends it through GCM. It opens the
// program's database when it is first shown and launches the record windows.
#pragma once

#include <QString>

#include <ctime>
#include <string>

#include "app/form.h"
#include "net/gcm_sender.h"
#include "net/vendor_service.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class TALEdit;
class TXiButton;

// What the window works with. The defaults are the program's own: the
// database "Torvik" and the services built into the program.
struct TMainFormSetup {
  std::string databaseName = "Torvik";
  VendorConfig vendor;
  GcmConfig gcm;
  GcmClock clock = [] { return std::time(nullptr); };
};

class TMainForm : public TForm {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* owner = nullptr, TMainFormSetup setup = {});

  // True once the first showing found the database unusable: it could not be
  // opened, or another process has it open. Closing then asks nothing.
  bool dbUnavailable = false;

  QLabel* instructionLabel;
  TXiButton* exitButton;
  TALEdit* id;
  TALEdit* gcm_token;
  TXiButton* XiButton4;
  TALEdit* msg;
  TALEdit* title;
  TALEdit* imgurl;
  QPlainTextEdit* Memo1;
  QPlainTextEdit* Memo2;
  TALEdit* mobile;
  QPushButton* Button1;
  TXiButton* XiButton1;
  TALEdit* password;
  QPlainTextEdit* content;

  QLabel* idLabel;
  QLabel* gcmTokenLabel;
  QLabel* msgLabel;
  QLabel* titleLabel;
  QLabel* imgurlLabel;
  QLabel* memo1Label;
  QLabel* memo2Label;
  QLabel* mobileLabel;
  QLabel* passwordLabel;
  QLabel* contentLabel;

  QAction* helpAction;      // F1
  QAction* categoryAction;  // F2
  QAction* recordAction;    // F3
  QAction* customerAction;  // F4
  QAction* productAction;   // F5
  QAction* expenseAction;   // F6
  QAction* cashAction;      // F7
  QAction* employeeAction;  // F8
  QAction* systemAction;    // F9
  QAction* reportAction;    // F10
  QAction* backupAction;    // F11
  QAction* exitAction;      // F12

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Opens the database and loads the last stored message into the boxes;
  // runs once, right after the first showing.
  void FormShow();
  // False keeps the window open.
  bool FormClose();

  void exitActionExecute();
  void categoryActionExecute();
  void recordActionExecute();
  void productActionExecute();

  // "Send Message": the account check, then store, build and post.
  void XiButton4Click();
  // "Get Token": the token that the phone registered under its mobile number.
  void Button1Click();
  // "Send Photo": uploads 0.jpg of the working folder to the photo service.
  void XiButton1Click();
  // Enter (13) in mobile is swallowed (key set to 0) and gets the token.
  void mobileKeyPress(char& key);

  TALEdit* newEdit(const char* name, const QRect& geometry, const QString& text = {});
  QLabel* newLabel(const QString& text, const QRect& geometry);

  std::string databaseName;
  VendorService vendor;  // IdHTTP1
  GcmSender gcm;         // IdHTTP2
  bool shownBefore = false;
};

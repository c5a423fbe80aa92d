#include "app/main_form.h"

#include "app/tables/tables.h"
#include "engine/query/cursor.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <iterator>
#include <string_view>

#include "app/controls.h"
#include "app/folder_select_form.h"
#include "app/program.h"
#include "app/record_list_form.h"
#include "app/yes_no_form.h"
#include "wrapper/ardon_buffer.h"

namespace {

// The colour of an edit box while it has the focus: a pale yellow.
constexpr int editFocusColor = 8253677;

const char* const defaultImageAddress = "http://www.ardon.example/images/sms/sample.jpg";
const char* const defaultContent =
    "This message can support HTML.  \n"
    "You can click<a href=\"https://play.google.com/store/apps/details?id=com.ardon.sms\"> this link</a> \n"
    "to install the app.";

// A memo holds its lines joined by CR LF in the code page, as the record
// texts and the GCM document carry them; the widget joins them by LF.
std::string memoText(const QPlainTextEdit* memo) {
  return toAnsi(memo->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
}

void setMemoText(QPlainTextEdit* memo, std::string_view text) {
  memo->setPlainText(fromAnsi(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

QPlainTextEdit* newMemo(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(QString::fromLatin1(name));
  memo->setGeometry(geometry);
  memo->setTabChangesFocus(true);
  memo->setPlainText(text);
  return memo;
}

template <class Button>
Button* newButton(QWidget* parent, const char* name, const QRect& geometry, const QString& caption = {},
                  const QString& hint = {}) {
  auto* button = new Button(parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  button->setText(caption);
  button->setToolTip(hint);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

TMainForm::TMainForm(QWidget* owner, TMainFormSetup setup)
    : TForm(owner),
      databaseName(std::move(setup.databaseName)),
      vendor(std::move(setup.vendor)),
      gcm(std::move(setup.gcm), std::move(setup.clock)) {
  setWindowTitle(QStringLiteral("Ardon SMS"));
  setFixedSize(1008, 730);
  // The program's Ming face has no bold; this window's bold text takes a
  // Traditional Chinese face that has one.
  QFont bold = font();
  bold.setFamilies({QStringLiteral("Noto Sans CJK TC"), QStringLiteral("AR PL UMing TW")});
  bold.setBold(true);
  setFont(bold);

  helpAction = newAction("helpAction", QStringLiteral("說明 F1"), Qt::Key_F1);
  categoryAction =
      newAction("categoryAction", QStringLiteral("類別資料 F2"), Qt::Key_F2, [this] { categoryActionExecute(); });
  recordAction =
      newAction("recordAction", QStringLiteral("資料記錄 F3"), Qt::Key_F3, [this] { recordActionExecute(); });
  customerAction = newAction("customerAction", QStringLiteral("客戶管理 F4"), Qt::Key_F4);
  productAction =
      newAction("productAction", QStringLiteral("貨品管理 F5"), Qt::Key_F5, [this] { productActionExecute(); });
  expenseAction = newAction("expenseAction", QStringLiteral("雜項支出 F6"), Qt::Key_F6);
  cashAction = newAction("cashAction", QStringLiteral("現金管理 F7"), Qt::Key_F7);
  employeeAction = newAction("employeeAction", QStringLiteral("員工管理 F8"), Qt::Key_F8);
  systemAction = newAction("systemAction", QStringLiteral("系統設定 F9"), Qt::Key_F9);
  reportAction = newAction("reportAction", QStringLiteral("報表 F10"), Qt::Key_F10);
  backupAction = newAction("backupAction", QStringLiteral("資料庫維護 F11"), Qt::Key_F11);
  exitAction = newAction("exitAction", QStringLiteral("退出 F12"), Qt::Key_F12, [this] { exitActionExecute(); });

  instructionLabel = new QLabel(QStringLiteral("請先在手機安裝 Ardon SMS 應用程式，並在應用程式中登記手機號碼；\n"
                                               "然後在下面輸入該手機號碼，再按 \"Get Token\"。"),
                                this);
  instructionLabel->setObjectName(QStringLiteral("instructionLabel"));
  instructionLabel->setGeometry(8, 11, 945, 48);
  QPalette blue = instructionLabel->palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  instructionLabel->setPalette(blue);

  exitButton = newButton<TXiButton>(this, "exitButton", QRect(752, 626, 201, 80));
  QFont large = bold;
  large.setPixelSize(24);
  exitButton->setFont(large);
  bindButton(exitButton, exitAction);

  id = newEdit("id", QRect(112, 144, 121, 22), QStringLiteral("1"));
  idLabel = newLabel(QStringLiteral("id"), QRect(8, 144, 96, 22));
  gcm_token = newEdit("gcm_token", QRect(112, 112, 849, 22));
  gcmTokenLabel = newLabel(QStringLiteral("gcm_token"), QRect(8, 112, 96, 22));

  XiButton4 = newButton<TXiButton>(this, "XiButton4", QRect(565, 625, 172, 80), QStringLiteral("Send Message"),
                                   QStringLiteral("Save"));
  connect(XiButton4, &QPushButton::clicked, this, [this] { guarded(this, [this] { XiButton4Click(); }); });

  msg = newEdit("msg", QRect(320, 480, 500, 22));
  msgLabel = newLabel(QStringLiteral("msg"), QRect(216, 480, 96, 22));
  msg->hide();
  msgLabel->hide();
  title = newEdit("title", QRect(112, 184, 841, 22), QStringLiteral("This is the title"));
  titleLabel = newLabel(QStringLiteral("title"), QRect(8, 184, 96, 22));
  imgurl = newEdit("imgurl", QRect(112, 344, 841, 22), QString::fromLatin1(defaultImageAddress));
  imgurlLabel = newLabel(QStringLiteral("imgurl"), QRect(8, 344, 96, 22));

  Memo1 = newMemo(this, "Memo1", QRect(48, 400, 905, 113), QStringLiteral("This will put the json to be send"));
  memo1Label = newLabel(QStringLiteral("Json send to google:"), QRect(48, 376, 400, 22));
  memo1Label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Memo2 = newMemo(this, "Memo2", QRect(48, 544, 905, 57), QStringLiteral("This will put the google return message"));
  memo2Label = newLabel(QStringLiteral("Json received from google:"), QRect(48, 520, 400, 22));
  memo2Label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  mobile = newEdit("mobile", QRect(112, 80, 121, 22));
  mobileLabel = newLabel(QStringLiteral("Mobile:"), QRect(8, 80, 96, 22));
  mobile->installEventFilter(this);

  Button1 = newButton<QPushButton>(this, "Button1", QRect(235, 79, 126, 25), QStringLiteral("Get Token"));
  connect(Button1, &QPushButton::clicked, this, [this] { guarded(this, [this] { Button1Click(); }); });

  XiButton1 = newButton<TXiButton>(this, "XiButton1", QRect(53, 617, 172, 80), QStringLiteral("Send Photo"),
                                   QStringLiteral("Save"));
  connect(XiButton1, &QPushButton::clicked, this, [this] { guarded(this, [this] { XiButton1Click(); }); });
  XiButton1->hide();

  password = newEdit("password", QRect(328, 144, 81, 22), QStringLiteral("1234"));
  password->setEchoMode(QLineEdit::Password);
  passwordLabel = newLabel(QStringLiteral("password"), QRect(224, 144, 96, 22));
  password->hide();
  passwordLabel->hide();

  content = newMemo(this, "content", QRect(112, 216, 841, 121), QString::fromLatin1(defaultContent));
  content->setLineWrapMode(QPlainTextEdit::NoWrap);
  contentLabel = newLabel(QStringLiteral("content"), QRect(8, 216, 96, 22));

  QWidget* const tabOrder[] = {mobile,     gcm_token, msg,   id,      title,     imgurl,   XiButton4,
                               exitButton, Memo1,     Memo2, Button1, XiButton1, password, content};
  for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
  mobile->setFocus();
}

TALEdit* TMainForm::newEdit(const char* name, const QRect& geometry, const QString& text) {
  auto* edit = new TALEdit(this);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(geometry);
  edit->setFocusColor(colorFromValue(editFocusColor));
  // The bold face is 1.45 em high from ascent to descent, more than a box of
  // 22 pixels shows; the Ming face fits.
  QFont face = edit->font();
  face.setFamilies({QStringLiteral("AR PL UMing TW"), QStringLiteral("Noto Sans CJK TC")});
  edit->setFont(face);
  edit->setText(text);
  return edit;
}

QLabel* TMainForm::newLabel(const QString& text, const QRect& geometry) {
  auto* label = new QLabel(text, this);
  label->setGeometry(geometry);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

void TMainForm::showEvent(QShowEvent* event) {
  TForm::showEvent(event);
  if (shownBefore) return;
  shownBefore = true;
  // After the showing has finished: FormShow may close the window again.
  QMetaObject::invokeMethod(
      this, [this] { guarded(this, [this] { FormShow(); }); }, Qt::QueuedConnection);
}

void TMainForm::FormShow() {
  ardonDatabase& database = theDatabase();
  database.allowColumnRemoval = true;
  dbUnavailable = false;
  if (!database.open(databaseName.c_str())) {
    showMessage(QStringLiteral("資料庫開啟錯誤."), this);
    dbUnavailable = true;
    close();
    return;
  }
  // This process is counted too.
  if (database.getUserCount() >= 2) {
    showMessage(QStringLiteral("資料庫不能同時開啟."), this);
    dbUnavailable = true;
    database.close();
    close();
    return;
  }
  dbCursor<MsgRecord> messages(dbForUpdate);
  if (messages.select() > 0) {
    // A table scan returns the records in the order of insertion.
    const MsgRecord* last = messages.last();
    gcm_token->setText(fromAnsi(last->gcm_token));
    msg->setText(fromAnsi(last->msg));
    id->setText(fromAnsi(last->id));
    title->setText(fromAnsi(last->title));
    setMemoText(content, last->content);
    imgurl->setText(fromAnsi(last->imgurl));
    mobile->setText(fromAnsi(last->mobile));
  }
  database.commit();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FormClose())
    event->accept();
  else
    event->ignore();
}

bool TMainForm::FormClose() {
  if (!theDatabase().isOpen() || dbUnavailable) return true;
  if (!askYesNo(QStringLiteral("關閉系統?"), this, false)) return false;
  hide();
  for (QAction* action : actions()) action->setEnabled(false);
  return true;
}

void TMainForm::exitActionExecute() { close(); }

void TMainForm::categoryActionExecute() {}

void TMainForm::recordActionExecute() {
  TRecordListForm records(this);
  records.exec();
}

void TMainForm::productActionExecute() {
  TFolderSelectForm folders(this);
  folders.exec();
}

void TMainForm::XiButton4Click() {
  std::string reply = vendor.checkShop(toAnsi(id->text()));
  setMemoText(Memo2, reply);
  if (!VendorService::isAccepted(reply)) return;

  ardonBuffer texts;
  MsgRecord message{};
  message.gcm_token = texts.addText(toAnsi(gcm_token->text()).c_str());
  message.msg = texts.addText(toAnsi(msg->text()).c_str());
  message.id = texts.addText(toAnsi(id->text()).c_str());
  message.title = texts.addText(toAnsi(title->text()).c_str());
  message.content = texts.addText(memoText(content).c_str());
  message.imgurl = texts.addText(toAnsi(imgurl->text()).c_str());
  message.mobile = texts.addText(toAnsi(mobile->text()).c_str());
  oid_t messageId = insert(message).getOid();
  // Stored from here on, whatever becomes of the delivery.
  theDatabase().commit();

  std::string json = gcm.buildDocument(
      {message.gcm_token, message.msg, message.id, message.title, message.content, message.imgurl}, messageId);
  setMemoText(Memo1, json);
  setMemoText(Memo2, gcm.post(json).text);
}

void TMainForm::Button1Click() { gcm_token->setText(fromAnsi(vendor.getMobileToken(toAnsi(mobile->text())))); }

void TMainForm::XiButton1Click() { setMemoText(Memo2, vendor.sendPhoto()); }

void TMainForm::mobileKeyPress(char& key) {
  if (key != 13) return;
  key = 0;
  Button1Click();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == mobile && event->type() == QEvent::KeyPress) {
    auto* press = static_cast<QKeyEvent*>(event);
    if (press->key() == Qt::Key_Return || press->key() == Qt::Key_Enter) {
      char key = 13;
      guarded(this, [this, &key] { mobileKeyPress(key); });
      return key == 0;
    }
  }
  return TForm::eventFilter(watched, event);
}

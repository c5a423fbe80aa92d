// Drives windows the way a user does: keys go to the widget that has the focus,
// and a modal window that a call opens is acted on from inside its own loop.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <ostream>

// Lets failing checks show texts readably.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// Runs `act` on the next modal window as soon as it is shown and active. The
// act must close it; a window it leaves open fails the test and is closed, so
// that the call that opened it returns.
void onNextModal(std::function<void(QWidget*)> act);

// Presses and releases a key where the keyboard focus is (the active window
// itself when none of its controls has it).
void pressKey(Qt::Key key);

// Waits until the window is active, so that its shortcuts take keys.
void activate(QWidget* window);

// While it lives, takes the local files that windows hand to the desktop to
// open, instead of opening them.
class FileOpenCatcher : public QObject {
  Q_OBJECT

 public:
  FileOpenCatcher();
  ~FileOpenCatcher() override;

  QList<QUrl> opened;

 public slots:
  void open(const QUrl& url) { opened << url; }
};

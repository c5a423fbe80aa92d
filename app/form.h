// The base of the program's windows: commands as actions with function-key
// shortcuts, answers as modal results, the box that shows an error a handler
// let escape, and the one boundary where plain box texts change between the
// widgets' Unicode and the system code page.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QKeySequence>
#include <QString>

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

class QAction;
class QPushButton;

// The values a modally shown form returns from exec(). A yes answer is mrOk.
enum ModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrNo = 7 };

class TForm : public QDialog {
  Q_OBJECT

 public:
  explicit TForm(QWidget* owner);

  int modalResult() const { return result(); }
  // Ends the modal showing; exec() returns the value.
  void setModalResult(int value) { done(value); }

  // Closing the form without an answer (by its title bar) is a cancel.
  void reject() override;

 protected:
  // Adds a command to the form. Its shortcut works while the form is the active
  // window, wherever the focus is in it (or when no control has the focus), also
  // when no visible control shows the action; the handler runs under guarded().
  // Without a handler the action does nothing.
  QAction* newAction(const char* name, const QString& caption, const QKeySequence& shortcut,
                     std::function<void()> handler = {}, const QString& hint = {});

  // Lets a button stand for an action: it takes the action's caption and hint,
  // follows its enabled state and triggers it when clicked. The caption may be
  // changed on the button afterwards without touching the action.
  static void bindButton(QPushButton* button, QAction* action);

  // The panel "actionPanel" with one bound button per action, in order, each
  // named after its action ("saveAction" gives "saveButton") and at least
  // buttonSize large; the buttons sit right-aligned, or left-aligned.
  struct ActionButton {
    QPushButton** button;
    QAction* action;
  };
  enum class Align { Left, Right };
  static QFrame* newActionPanel(std::initializer_list<ActionButton> buttons, QSize buttonSize, Align align);

  // Forms open centred on their screen.
  void showEvent(QShowEvent* event) override;
  // Esc closes a form only through an action that takes the key; a form without
  // one (a main window) must not vanish on a stray Esc, past its close handler.
  void keyPressEvent(QKeyEvent* event) override;
};

// Runs an event handler. An exception it lets escape (engine errors, network
// errors) cannot travel through the event loop; it is shown in an error box
// over `parent` instead, and the window stays as the handler left it.
void guarded(QWidget* parent, const std::function<void()>& handler);

// Plain text boxes and record texts hold the system code page; widgets hold
// Unicode. These two convert between them.
std::string toAnsi(const QString& text);
QString fromAnsi(std::string_view text);

// The program's font: a Ming typeface with Traditional Chinese glyphs, 16 pixels.
void useProgramFont();

#pragma once

#include <QDialog>
#include <QString>

#include "app/user_interaction.h"

class QLabel;
class QPushButton;
class QTimer;

namespace zb::app {

// The self-closing message box: laid out like a standard message dialog with
// one "OK" button (default and cancel at once) and a timer that closes it.
class TMsgForm final : public QDialog {
  Q_OBJECT
 public:
  // `text` may use "\r" as line break, as the run reports do.
  TMsgForm(const QString& text, MessageKind kind, QWidget* parent = nullptr);

  // Sets the close timer; 0 leaves it idle (the box stays until closed).
  void SetSeconds(int seconds);
  // Starts the timer just before showing, shows modally, returns on close.
  int exec() override;

  [[nodiscard]] QTimer* CloseTimer() const { return timer_; }

 private:
  void LayOut(bool has_icon);

  QLabel* image_ = nullptr;
  QLabel* message_ = nullptr;
  QPushButton* ok_ = nullptr;
  QTimer* timer_ = nullptr;
};

// Shows the box modally for `seconds` and returns when it has closed, by the
// user or by its timer.
void ShowTimedMessage(const QString& text, MessageKind kind, int seconds,
                      QWidget* parent = nullptr);

// The application's title, the caption of error boxes and of the custom kind.
inline constexpr char kAppTitle[] = "Quillomar ZIP Backup  V1.50";

}  // namespace zb::app

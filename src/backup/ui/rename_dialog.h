#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;

namespace zb {
class UserInteraction;
}

namespace zb::backup::ui {

// Asks for a project name (Rename and Copy). OK is accepted only with a
// name that is not blank after trimming; otherwise the user is told and the
// dialog stays open.
class TFormRename final : public QDialog {
  Q_OBJECT
 public:
  TFormRename(const QString& caption, const QString& initial, UserInteraction& ui,
              QWidget* parent = nullptr);

  [[nodiscard]] QString Name() const;
  [[nodiscard]] QLineEdit* NameBox() const { return name_edit_; }
  // "&Ok": accepted only with a name that is not blank.
  void OnOk();

 private:
  UserInteraction& ui_;
  QLineEdit* name_edit_ = nullptr;
};

}  // namespace zb::backup::ui

#include "backup/ui/rename_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/user_interaction.h"

namespace zb::backup::ui {

TFormRename::TFormRename(const QString& caption, const QString& initial, UserInteraction& ui,
                         QWidget* parent)
    : QDialog(parent), ui_(ui) {
  setObjectName("TFormRename");
  setWindowTitle(caption);
  auto* column = new QVBoxLayout(this);
  auto* label = new QLabel("Please enter new project name", this);
  label->setObjectName("Label1");
  column->addWidget(label);
  name_edit_ = new QLineEdit(initial, this);
  name_edit_->setObjectName("EditProjName");
  name_edit_->setMinimumWidth(300);
  name_edit_->selectAll();
  column->addWidget(name_edit_);

  auto* row = new QHBoxLayout;
  row->addStretch();
  auto* ok = new QPushButton("&Ok", this);
  ok->setObjectName("BitBtn1");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Can&cel", this);
  cancel->setObjectName("BitBtn2");
  row->addWidget(ok);
  row->addWidget(cancel);
  column->addLayout(row);

  connect(ok, &QPushButton::clicked, this, &TFormRename::OnOk);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString TFormRename::Name() const { return name_edit_->text().trimmed(); }

void TFormRename::OnOk() {
  if (Name().isEmpty()) {
    ui_.ShowWarning("Please enter project name");
    name_edit_->setFocus();
    return;
  }
  accept();
}

}  // namespace zb::backup::ui

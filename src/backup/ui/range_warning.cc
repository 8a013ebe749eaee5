#include "backup/ui/range_warning.h"

#include <QLineEdit>
#include <QSpinBox>
#include <memory>
#include <utility>

#include "app/user_interaction.h"

namespace zb::backup::ui {

void WarnWhenOutOfRange(QSpinBox* spin, UserInteraction& ui, const QString& what) {
  // By the time editing ends the box has put its last valid value back, so
  // the typed text is kept as it is typed.
  auto typed = std::make_shared<QString>();
  QObject::connect(spin->findChild<QLineEdit*>(), &QLineEdit::textEdited, spin,
                   [typed](const QString& text) { *typed = text; });
  QObject::connect(spin, &QSpinBox::editingFinished, spin, [spin, typed, &ui, what] {
    const QString text = std::exchange(*typed, QString());
    bool number = false;
    const int value = text.trimmed().toInt(&number);
    if (!number || (value >= spin->minimum() && value <= spin->maximum())) return;
    ui.ShowWarning(QStringLiteral("%1 must be from %2 to %3; it stays %4.")
                       .arg(what)
                       .arg(spin->minimum())
                       .arg(spin->maximum())
                       .arg(spin->value())
                       .toStdString());
  });
}

}  // namespace zb::backup::ui

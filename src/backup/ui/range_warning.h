#pragma once

#include <QString>

class QSpinBox;

namespace zb {
class UserInteraction;
}

namespace zb::backup::ui {

// A number typed below the spin box's minimum is set back by the box when
// editing ends; this says so, with the allowed range, instead of letting the
// value spring back without a word. `ui` must outlive `spin`.
void WarnWhenOutOfRange(QSpinBox* spin, UserInteraction& ui, const QString& what);

}  // namespace zb::backup::ui

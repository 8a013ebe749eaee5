#pragma once

// Password boxes of the project editors: every typed character shows as "*",
// whatever bullet the desktop style would draw.

class QLineEdit;

namespace zb::backup::ui {

// Hides the text of `box` behind one "*" per character.
void MakePasswordBox(QLineEdit* box);

}  // namespace zb::backup::ui

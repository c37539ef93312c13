// What the editor sets up on its QApplication before the first window: names, the icon, the
// Russian texts of Qt's standard buttons and dialogs, so they match the rest of the window, and how
// loads and saves leave the processor to the window.
#pragma once

class QApplication;

namespace brindle {

void SetUpApplication(QApplication& application);

}  // namespace brindle

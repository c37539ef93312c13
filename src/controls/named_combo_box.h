// A combo box that screen readers know by its name (its accessibleName, else its buddy label's text).
//
// Qt's own accessible combo box on Linux reports its current text as its name, so an editable number
// box reads as "100" with nothing to say what the number is for. This one reports the name as the
// name and the text as the value, and otherwise behaves as Qt's: the list and the line edit as its
// children, the line edit holding the focus, the list opened by its action.
#pragma once

#include <QComboBox>

namespace brindle {

class NamedComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit NamedComboBox(QWidget* parent = nullptr);
};

}  // namespace brindle

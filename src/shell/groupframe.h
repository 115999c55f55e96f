#pragma once
#include <QProxyStyle>

class QGroupBox;

namespace relvix {

// Group boxes as the window was laid out for: the frame line (an etched line, two pixels)
// runs at half the title's height, and the title sits on it at 8 pixels from the left,
// interrupting it. The controls inside are placed for that: Qt's own styles put the title
// above a frame that starts a whole title height down (and lower still with a taller
// Chinese font), which ran the line through the controls at the top of a box.
//
// subControlRect() answers SC_GroupBoxFrame and SC_GroupBoxLabel with exactly the geometry
// that drawComplexControl() paints. Checkable group boxes are left to the base style.
class GroupFrameStyle : public QProxyStyle {
    Q_OBJECT
public:
    // Over the application's current style.
    GroupFrameStyle();

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl sub,
                         const QWidget *widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option, QPainter *painter,
                            const QWidget *widget) const override;
};

// Gives the group box the frame above; one style object serves every box of the process.
void useGroupFrame(QGroupBox *box);

} // namespace relvix

#include "groupframe.h"

#include <QApplication>
#include <QGroupBox>
#include <QPainter>
#include <QPointer>
#include <QStyleFactory>
#include <QStyleOption>
#include <qdrawutil.h>

namespace relvix {

namespace {

constexpr int kTitleLeft = 8; // the title's distance from the box's left edge
constexpr int kTitleGap = 1;  // blank on each side of the title where the line stops
constexpr int kLineWidth = 2; // the etched line: a shadow line and a light one

QStyle *currentStyleCopy()
{
    // QProxyStyle owns its base style, so it gets a fresh one of the kind in use.
    return QStyleFactory::create(QApplication::style()->name());
}

} // namespace

GroupFrameStyle::GroupFrameStyle() : QProxyStyle(currentStyleCopy()) {}

QRect GroupFrameStyle::subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl sub,
                                      const QWidget *widget) const
{
    const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
    if (control != CC_GroupBox || !box || (box->subControls & SC_GroupBoxCheckBox))
        return QProxyStyle::subControlRect(control, option, sub, widget);
    const QRect all = box->rect;
    // The line at half the height of a title line, as tall as the box's font makes it; a box
    // without a title keeps its line there too.
    const int titleHeight = box->fontMetrics.height();
    const int lineTop = all.top() + titleHeight / 2 - 1;
    switch (sub) {
    case SC_GroupBoxFrame:
        return QRect(all.left(), lineTop, all.width(), all.bottom() - lineTop + 1);
    case SC_GroupBoxLabel: {
        if (box->text.isEmpty())
            return {};
        const int textWidth = box->fontMetrics.size(Qt::TextShowMnemonic, box->text).width();
        return QRect(all.left() + kTitleLeft, all.top(), textWidth + 2 * kTitleGap, titleHeight);
    }
    case SC_GroupBoxContents:
        return QRect(QPoint(all.left() + kLineWidth, all.top() + titleHeight),
                     QPoint(all.right() - kLineWidth, all.bottom() - kLineWidth));
    default:
        return QProxyStyle::subControlRect(control, option, sub, widget);
    }
}

void GroupFrameStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex *option, QPainter *painter,
                                         const QWidget *widget) const
{
    const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
    if (control != CC_GroupBox || !box || (box->subControls & SC_GroupBoxCheckBox)) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    const QRect frame = subControlRect(CC_GroupBox, option, SC_GroupBoxFrame, widget);
    const QRect title = subControlRect(CC_GroupBox, option, SC_GroupBoxLabel, widget);
    painter->save();
    if (!title.isEmpty())
        painter->setClipRegion(QRegion(box->rect).subtracted(title));
    // Sunken, one pixel each: a shadow line with a light line inside it, the etched look.
    qDrawShadeRect(painter, frame, box->palette, true, 1, 0);
    painter->restore();
    if (!title.isEmpty()) {
        proxy()->drawItemText(painter, title, Qt::AlignCenter | Qt::TextShowMnemonic, box->palette,
                              box->state & State_Enabled, box->text, QPalette::WindowText);
    }
}

void useGroupFrame(QGroupBox *box)
{
    static QPointer<GroupFrameStyle> shared;
    if (!shared) {
        shared = new GroupFrameStyle;
        shared->setParent(qApp); // lives as long as the application's own style
    }
    box->setStyle(shared);
}

} // namespace relvix

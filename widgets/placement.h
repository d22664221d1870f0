#ifndef KT62_PLACEMENT_H
#define KT62_PLACEMENT_H

#include <QRect>
#include <QSize>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

// Where a window of the given frame size goes over an owner window: centred
// over `over`, then shifted as little as needed to lie inside `available` (a
// screen's area without its panels). A window larger than that area keeps its
// top-left corner inside it, so that its title bar can still be grabbed.
QRect placed_over(const QSize &size, const QRect &over, const QRect &available);

// Moves window to its place over owner, inside the screen that holds the
// middle of owner. Some window managers put a window without a parent in the
// corner of the screen, and an owner near the screen's edge would push a
// centred window off it.
void place_over(QWidget *window, const QWidget *owner);

#endif

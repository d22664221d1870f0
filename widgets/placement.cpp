#include "widgets/placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {
// The screen holding the middle of the owner's frame; the owner's own (or
// the primary) screen when that middle is off every screen.
const QScreen *screen_of(const QWidget *owner)
{
    if (const QScreen *screen = QGuiApplication::screenAt(owner->frameGeometry().center())) {
        return screen;
    }
    return owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
}

// The size window will have with its frame. Before its first showing it has
// none yet; it will most likely get one like its owner's.
QSize frame_size(const QWidget *window, const QWidget *owner)
{
    const QSize frame = window->frameGeometry().size();
    if (frame != window->size()) {
        return frame;
    }
    return frame + owner->frameGeometry().size() - owner->size();
}

// The start of a span of `length` placed at `start`, moved inside the span
// [low, low + room) as far as it fits, its start first.
int clamped(int start, int length, int low, int room)
{
    return qMax(low, qMin(start, low + room - length));
}
} // namespace

QRect placed_over(const QSize &size, const QRect &over, const QRect &available)
{
    QRect place(QPoint(), size);
    place.moveCenter(over.center());
    place.moveTo(clamped(place.x(), size.width(), available.x(), available.width()),
                 clamped(place.y(), size.height(), available.y(), available.height()));
    return place;
}

void place_over(QWidget *window, const QWidget *owner)
{
    const QScreen *screen = screen_of(owner);
    const QRect available = screen ? screen->availableGeometry() : owner->frameGeometry();
    const QSize size = frame_size(window, owner);
    window->move(placed_over(size, owner->frameGeometry(), available).topLeft());
}

#include "widgets/elidedlabel.h"

#include <QPainter>
#include <QStyle>

namespace {
// Room the label asks for at most; the rest of a long path is elided.
constexpr int PREFERRED_CHARACTERS = 40;
// And at least: enough to show that something is there.
constexpr int MINIMUM_CHARACTERS = 3;
} // namespace

QSize ElidedLabel::sizeHint() const
{
    QSize hint = QLabel::sizeHint();
    hint.setWidth(qMin(hint.width(), fontMetrics().averageCharWidth() * PREFERRED_CHARACTERS));
    return hint;
}

QSize ElidedLabel::minimumSizeHint() const
{
    QSize hint = QLabel::minimumSizeHint();
    hint.setWidth(qMin(hint.width(), fontMetrics().averageCharWidth() * MINIMUM_CHARACTERS));
    return hint;
}

QString ElidedLabel::shown_text() const
{
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                          shown_text(), foregroundRole());
}

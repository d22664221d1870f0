#include "widgets/elidedlabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>

namespace {
// Room the label asks for at most; the rest of a long text is elided.
constexpr int PREFERRED_CHARACTERS = 40;
// And at least: enough to show that something is there.
constexpr int MINIMUM_CHARACTERS = 3;

// Where the file name of a path begins: after its last separator, either
// kind, since a path typed on Windows may carry backslashes.
int file_name_start(const QString &path)
{
    return qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\'))) + 1;
}
} // namespace

QString elided_path(const QString &path, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(path) <= width) {
        return path;
    }
    const int start = file_name_start(path);
    const QString name = path.mid(start);
    const int room = width - metrics.horizontalAdvance(name);
    if (start > 0 && room > 0) {
        const QString shown = metrics.elidedText(path.left(start), Qt::ElideMiddle, room) + name;
        // Kerning across the join could make the two parts a pixel wider.
        if (metrics.horizontalAdvance(shown) <= width) {
            return shown;
        }
    }
    return metrics.elidedText(path, Qt::ElideMiddle, width);
}

void ElidedLabel::set_content(Content content)
{
    m_content = content;
    update();
}

void ElidedLabel::set_full_text(const QString &text)
{
    setText(text);
    setToolTip(text);
}

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
    const int width = contentsRect().width();
    return m_content == Content::Path ? elided_path(text(), fontMetrics(), width)
                                      : fontMetrics().elidedText(text(), Qt::ElideMiddle, width);
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                          shown_text(), foregroundRole());
}

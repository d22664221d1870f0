#ifndef KT62_ELIDEDLABEL_H
#define KT62_ELIDEDLABEL_H

#include <QLabel>

QT_BEGIN_NAMESPACE
class QFontMetrics;
QT_END_NAMESPACE

// A one-line label in a fixed-size window: a text wider than the label is
// drawn elided to the label's width as it is at each paint, and the text
// itself never widens the layout. text() stays whole.
class ElidedLabel : public QLabel
{
    Q_OBJECT
public:
    // What the label holds decides what of it is worth keeping: a path keeps
    // its last part (the file name) whole while that alone fits and loses
    // the middle of its folders instead; any other text loses its middle.
    enum class Content
    {
        Path,
        Text,
    };

    using QLabel::QLabel;

    void set_content(Content content);
    // The text, and the whole of it as the tooltip.
    void set_full_text(const QString &text);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // What is drawn at the label's present width.
    QString shown_text() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Content m_content = Content::Path;
};

// path as it fits in width pixels of metrics' font (see ElidedLabel::Path).
QString elided_path(const QString &path, const QFontMetrics &metrics, int width);

#endif

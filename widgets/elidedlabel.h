#ifndef KT62_ELIDEDLABEL_H
#define KT62_ELIDEDLABEL_H

#include <QLabel>

// A one-line label for paths in a fixed-size window: a text wider than the
// label is drawn with its middle elided (both ends of a path say the most),
// and the text itself never widens the layout. text() stays whole.
class ElidedLabel : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // What is drawn at the label's present width.
    QString shown_text() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

#endif

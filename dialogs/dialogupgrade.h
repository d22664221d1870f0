#ifndef KT62_DIALOGUPGRADE_H
#define KT62_DIALOGUPGRADE_H

#include <QDialog>

// Placeholder until the upgrade dialog lands.
class DialogUpgrade : public QDialog
{
    Q_OBJECT
public:
    explicit DialogUpgrade(QWidget *parent = nullptr) : QDialog(parent) {}
    void retranslate() {}
};

#endif

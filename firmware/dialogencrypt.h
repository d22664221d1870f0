#ifndef KT62_DIALOGENCRYPT_H
#define KT62_DIALOGENCRYPT_H

#include <QDialog>

// Placeholder until the encryption dialog lands.
class DialogEncrypt : public QDialog
{
    Q_OBJECT
public:
    explicit DialogEncrypt(QWidget *parent = nullptr) : QDialog(parent) {}
};

#endif

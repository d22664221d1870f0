#ifndef KT62_DIALOGENCRYPT_H
#define KT62_DIALOGENCRYPT_H

#include <QDialog>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class DialogEncrypt;
}
QT_END_NAMESPACE

// Turns a plain firmware image into the encrypted file that the upgrade
// sends. Its texts are Chinese in every interface language.
class DialogEncrypt : public QDialog
{
    Q_OBJECT
public:
    explicit DialogEncrypt(QWidget *parent = nullptr);
    ~DialogEncrypt() override;

private slots:
    void on_btn_choose_source_file_clicked();
    void on_btn_choose_output_dir_clicked();
    void on_btn_encrypt_clicked();

private:
    // The checks that a run must pass before any file is touched; shows the
    // refusal itself.
    bool choices_acceptable();

    Ui::DialogEncrypt *ui;
    // Both choices persist between runs and openings of the dialog.
    QString m_source_file;
    QString m_output_dir;
};

#endif

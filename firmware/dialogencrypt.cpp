#include "firmware/dialogencrypt.h"
#include "ui_dialogencrypt.h"

#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "widgets/prompts.h"

#include <QDebug>

namespace {
// Plain images are named with an underscore that becomes the "_V" marker.
const QChar NAME_SEPARATOR = QLatin1Char('_');
} // namespace

DialogEncrypt::DialogEncrypt(QWidget *parent) : QDialog(parent), ui(new Ui::DialogEncrypt)
{
    ui->setupUi(this);
}

DialogEncrypt::~DialogEncrypt()
{
    delete ui;
}

void DialogEncrypt::on_btn_choose_source_file_clicked()
{
    FilePrompt prompt;
    prompt.caption = QStringLiteral("选择固件");
    prompt.dir = QStringLiteral(".");
    prompt.filter = FIRMWARE_FILTER;
    // A cancelled choice clears the earlier one on purpose.
    m_source_file = ask_for_path(prompt);
    ui->lbl_source_path->set_full_text(m_source_file);
}

void DialogEncrypt::on_btn_choose_output_dir_clicked()
{
    FilePrompt prompt;
    prompt.kind = FilePrompt::ExistingDirectory;
    prompt.parent = this;
    prompt.caption = QStringLiteral("选择文件夹");
    prompt.dir = QStringLiteral("/");
    prompt.options = QFileDialog::ShowDirsOnly;
    m_output_dir = ask_for_path(prompt);
    ui->lbl_output_dir->set_full_text(m_output_dir);
}

bool DialogEncrypt::choices_acceptable()
{
    if (m_source_file.isEmpty()) {
        qDebug() << "source file not selected!";
        inform(QStringLiteral("请先选择源文件！"));
        return false;
    }
    // An already encrypted name (anywhere in the path) must not be
    // encrypted twice.
    if (path_has_marker(m_source_file)) {
        inform(QStringLiteral("源文件名不正确！"));
        return false;
    }
    if (m_output_dir.isEmpty()) {
        qDebug() << "output path not selected!";
        inform(QStringLiteral("请选择输出目录！"));
        return false;
    }
    if (!file_name_of(m_source_file).contains(NAME_SEPARATOR)) {
        warn_critical(QStringLiteral("加密中止！源文件名不正确，必须包含下划线符号_"),
                      QMessageBox::Yes, QMessageBox::Yes);
        return false;
    }
    return true;
}

void DialogEncrypt::on_btn_encrypt_clicked()
{
    if (!choices_acceptable()) {
        return;
    }
    const QString output = encrypted_output_path(m_output_dir, m_source_file);
    qDebug() << "output firmware:" << output;
    const EncryptResult result = encrypt_firmware_file(m_source_file, output);
    inform(result.status == EncryptStatus::Ok ? QStringLiteral("加密完成!")
                                              : QStringLiteral("加密失败!"));
}

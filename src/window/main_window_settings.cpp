#include "window/main_window.h"

#include "settings/settings_keys.h"
#include "ui_main_window_form.h"

#include <QDir>
#include <QSettings>

// Paths are stored exactly as typed: no trimming and no check that they
// exist; a job reports what it finds.
void MainWindow::on_lineEdit_editingFinished()
{
    localDir.setText(ui->lineEdit->text());
    settings->setValue(SettingsKeys::localDir, localDir.text());
}

void MainWindow::on_lineEdit_2_editingFinished()
{
    remoteDir.setText(ui->lineEdit_2->text());
    settings->setValue(SettingsKeys::remoteDir, remoteDir.text());
}

void MainWindow::on_pushButton_3_clicked()
{
    downloadTime = 0;
    uploadTime = 0;
    settings->setValue(SettingsKeys::uploadTime, 0);
    settings->setValue(SettingsKeys::downloadTime, 0);
    output(QStringLiteral("清理缓存，可全部重新上传或下载"));
}

void MainWindow::on_lineEdit_3_textEdited(const QString &arg1)
{
    Q_UNUSED(arg1);
    settings->setValue(SettingsKeys::ignorePattern, ui->lineEdit_3->text());
}

// A store that cannot be parsed or written fails silently otherwise: the
// window would start with defaults and forget every change without a word.
void MainWindow::reportSettingsProblem()
{
    settings->sync();
    const QString file = QDir::toNativeSeparators(settings->fileName());
    switch (settings->status()) {
    case QSettings::NoError: break;
    case QSettings::FormatError:
        output(QStringLiteral("设置文件有无法识别的内容，这些设置已按默认值处理：") + file);
        break;
    case QSettings::AccessError:
        output(QStringLiteral("设置文件无法读写，本次更改的设置可能不会保存：") + file);
        break;
    }
}

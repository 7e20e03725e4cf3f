#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Quorvane-LSB"));
    setWindowIcon(QIcon(QStringLiteral(":/Icon.png")));
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    // Runs on_choose1_stateChanged at once, which enters encrypt mode.
    ui->choose1->setChecked(true);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::on_choose_clicked() { }

void MainWindow::on_save_clicked() { }

void MainWindow::on_button_clicked() { }

void MainWindow::on_choose1_stateChanged(int arg1)
{
    if (arg1 == Qt::Checked)
        enterMode(0, QStringLiteral("待加密密文"), ui->choose2);
}

void MainWindow::on_choose2_stateChanged(int arg1)
{
    if (arg1 == Qt::Checked)
        enterMode(1, QStringLiteral("解密明文"), ui->choose1);
}

void MainWindow::on_clear_clicked() { }

void MainWindow::on_copy_clicked() { }

void MainWindow::on_text_textChanged() { }

void MainWindow::enterMode(int newMode, const QString &caption, QCheckBox *otherBox)
{
    mode = newMode;
    // Emptying the box may run the counter while the box is still enabled; the caption is
    // written after it so that the caption, not a count, stays.
    ui->text->setText(QString());
    ui->num->setText(caption);
    ui->button->setText(newMode == 0 ? QStringLiteral("加密") : QStringLiteral("解密"));
    otherBox->setChecked(false);
    resetControls();
}

void MainWindow::resetControls()
{
    ui->rawfile->setEnabled(false);
    ui->name->setEnabled(false);
    ui->save->setEnabled(false);
    ui->button->setEnabled(false);
    // Disabled before it is cleared, so the counter leaves the mode's caption alone.
    ui->text->setEnabled(false);
    ui->clear->setEnabled(false);
    ui->copy->setEnabled(false);

    ui->raw->clear();
    ui->encrypt->clear();
    ui->rawfile->clear();
    ui->name->clear();
    ui->text->clear();
}

void MainWindow::showImage(QLabel *label, QImage image)
{
    Q_UNUSED(label)
    Q_UNUSED(image)
}

void MainWindow::showWarning(const QString &message)
{
    Q_UNUSED(message)
}

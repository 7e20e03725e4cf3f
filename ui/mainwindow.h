#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "carrierimage.h"

#include <QImage>
#include <QMainWindow>
#include <QString>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
QT_END_NAMESPACE

namespace Ui {
class MainWindow;
}

// The one window: lets the user choose a picture, hide a message in it and save the result,
// or reveal the message a picture holds.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_choose_clicked();
    void on_save_clicked();
    void on_button_clicked();
    void on_choose1_stateChanged(int arg1);
    void on_choose2_stateChanged(int arg1);
    void on_clear_clicked();
    void on_copy_clicked();
    void on_text_textChanged();

private:
    void enterMode(int newMode, const QString &caption, QCheckBox *otherBox);
    void openPicture(const QString &path);
    void hideMessage();
    void revealMessage();
    bool confirmOverwrite();
    void resetControls();
    void showImage(QLabel *label, QImage image);
    void showWarning(const QString &message);

    CarrierImage picture;
    QString filePath;
    QString dirPath;
    QString fileName;
    int mode = 0;
    QString capacityText;
    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H

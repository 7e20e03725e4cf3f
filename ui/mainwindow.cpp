#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "hidingrules.h"
#include "pictureformat.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QDebug>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <optional>

namespace {

// The one local file a drag carries, or an empty string: several files, a folder or anything
// that is not a local file are not a picture to open.
QString droppedFile(const QMimeData *data)
{
    if (!data || data->urls().size() != 1)
        return QString();
    const QUrl url = data->urls().constFirst();
    if (!url.isLocalFile() || QFileInfo(url.toLocalFile()).isDir())
        return QString();
    return url.toLocalFile();
}

// Shows the busy cursor while a picture is read or written on the window's thread, and restores
// the cursor when it goes out of scope, on every path. Scopes end before any message box opens.
class BusyCursor
{
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Quorvane-LSB"));
    setWindowIcon(QIcon(QStringLiteral(":/Icon.png")));
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    setAcceptDrops(true);
    // Runs on_choose1_stateChanged at once, which enters encrypt mode.
    ui->choose1->setChecked(true);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    // Opened once the drop has finished, so that a warning box does not keep the program the
    // file came from waiting.
    QTimer::singleShot(0, this, [this, path] {
        filePath = path;
        openPicture(filePath);
    });
}

void MainWindow::on_choose_clicked()
{
    // The formats a hide is saved in: "(*.png *.bmp)".
    const QString filter = QStringLiteral("(*.") +
            PictureFormats::savedSuffixes().join(QStringLiteral(" *.")) + QLatin1Char(')');
    filePath = QFileDialog::getOpenFileName(this, QStringLiteral("选择一张图片"),
                                            QStringLiteral("/"), filter);
    if (filePath.isEmpty()) {
        qDebug() << "Error";
        return;
    }
    // Paints over the closed dialog before a large picture keeps the window busy.
    repaint();
    openPicture(filePath);
}

void MainWindow::on_save_clicked()
{
    const QString name = ui->name->text();
    const QString path = QDir(dirPath).filePath(name);
    if (!HidingRules::keepsLowBits(QFileInfo(name).suffix()) || QFileInfo(path).isDir()) {
        showWarning(QStringLiteral("保存失败"));
        return;
    }
    if (QFileInfo::exists(path)) {
        if (!confirmOverwrite())
            return;
        // Paints over the closed question before a long save keeps the window busy.
        repaint();
    }
    bool saved = false;
    {
        const BusyCursor busy;
        saved = picture.saveImage(path);
    }
    if (!saved)
        showWarning(QStringLiteral("保存失败"));
}

void MainWindow::on_button_clicked()
{
    if (mode == 0)
        hideMessage();
    else if (mode == 1)
        revealMessage();
}

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

void MainWindow::on_clear_clicked()
{
    ui->text->setText(QString());
}

void MainWindow::on_copy_clicked()
{
    QGuiApplication::clipboard()->setText(ui->text->toPlainText(), QClipboard::Clipboard);
}

void MainWindow::on_text_textChanged()
{
    if (!ui->text->isEnabled())
        return;
    // The picture holds the text of the last hide; once the box shows another, saving would
    // write a message the user no longer sees.
    ui->save->setEnabled(false);
    // Counted in UTF-8 bytes, the unit the capacity is given in.
    ui->num->setText(QString::number(HidingRules::byteCount(ui->text->toPlainText())) +
                     QStringLiteral(" / ") + capacityText);
}

void MainWindow::openPicture(const QString &path)
{
    // Loaded before anything is reset, so a picture that cannot be used leaves the window as
    // it was.
    std::optional<BusyCursor> busy(std::in_place);
    const CarrierImage::LoadResult result = picture.load(path);
    if (result != CarrierImage::LoadResult::Loaded) {
        busy.reset();
        if (result == CarrierImage::LoadResult::TooLarge)
            showWarning(QStringLiteral("图片过大"));
        else if (result == CarrierImage::LoadResult::Unsupported)
            showWarning(QStringLiteral("无法读取此格式的图片，请使用 %1 图片")
                                .arg(PictureFormats::readNames().join(QStringLiteral("、"))));
        else
            showWarning(QStringLiteral("无法读取图片"));
        return;
    }
    resetControls();
    const QFileInfo info(path);
    dirPath = info.path();
    fileName = info.fileName();
    ui->rawfile->setText(fileName);
    ui->button->setEnabled(true);
    capacityText = QString::number(picture.getCapacity());
    if (mode == 0) {
        ui->text->setEnabled(true);
        ui->clear->setEnabled(true);
        ui->num->setText(QStringLiteral("0 / ") + capacityText);
        ui->text->setFocus();
    }
    showImage(ui->raw, picture.getImage());
}

void MainWindow::hideMessage()
{
    const QString message = ui->text->toPlainText();
    if (message.isEmpty()) {
        showWarning(QStringLiteral("至少一个字符"));
        return;
    }
    if (HidingRules::byteCount(message) > capacityText.toInt()) {
        showWarning(QStringLiteral("字符过多"));
        return;
    }
    const QString name = HidingRules::outputName(fileName);
    picture.hideMessage(message.toUtf8(), HidingRules::writesOpaque(name));
    showImage(ui->encrypt, picture.getImage());
    ui->name->setText(name);
    ui->name->setReadOnly(true);
    ui->save->setEnabled(true);
}

void MainWindow::revealMessage()
{
    if (!picture.revealMessage()) {
        showWarning(QStringLiteral("未发现隐藏信息"));
        return;
    }
    // Plain text: the message comes from a file and is shown exactly, never as markup.
    ui->text->setPlainText(picture.getRevealedText());
    ui->copy->setEnabled(true);
}

bool MainWindow::confirmOverwrite()
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Warning"));
    box.setText(QStringLiteral("文件已存在，是否覆盖？"));
    box.setIcon(QMessageBox::Question);
    QPushButton *confirm = box.addButton(QStringLiteral("确认"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == confirm;
}

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

// Shrinks the picture to the label's width, then to its height, never enlarging it. Each
// scaled side is at least one pixel, so a very thin picture still shows. The label's size is
// taken in device pixels, so that a high-DPI screen shows the picture's own detail rather than
// blown-up pixels; the sides are truncated so that the preview never overflows the label.
void MainWindow::showImage(QLabel *label, QImage image)
{
    const qreal pixelRatio = label->devicePixelRatioF();
    const int labelWidth = int(label->width() * pixelRatio);
    const int labelHeight = int(label->height() * pixelRatio);
    if (image.width() > labelWidth) {
        const float ratio = float(labelWidth) / float(image.width());
        const int newHeight = qMax(1, int(float(image.height()) * ratio));
        image = image.scaled(labelWidth, newHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    if (image.height() > labelHeight) {
        const float ratio = float(labelHeight) / float(image.height());
        const int newWidth = qMax(1, int(float(image.width()) * ratio));
        image = image.scaled(newWidth, labelHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(pixelRatio);
    label->setPixmap(pixmap);
    label->show();
}

void MainWindow::showWarning(const QString &message)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Warning"));
    box.setText(message);
    box.setIcon(QMessageBox::Information);
    box.addButton(QStringLiteral("确认"), QMessageBox::AcceptRole);
    box.exec();
}

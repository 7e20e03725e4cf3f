#include "mainwindow.h"

#include "fixtures.h"
#include "hidingrules.h"

#include "qttranslation.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>
#include <QUrl>

#include <functional>

#include <sys/stat.h>

namespace {

QStringList connectionWarnings;

void recordConnectionWarnings(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.contains(QLatin1String("connectSlotsByName")))
        connectionWarnings << message;
}

// Writes a picture whose walk carries exactly the given digits in its low bits; the other
// pixels keep their noise.
QImage pictureCarrying(const QString &digits, int width = 20, int height = 20)
{
    QImage image = noiseImage(QSize(width, height));
    for (int index = 0; index < digits.size(); ++index)
        setDigit(image, index, digits.at(index) == QLatin1Char('1'));
    return image;
}

QPixmap shownPixmap(const QLabel *label)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return label->pixmap();
#else
    return label->pixmap(Qt::ReturnByValue);
#endif
}

// Handles the next modal widget of type T from inside its own event loop, polling rather than
// assuming when it appears.
template<typename T> void onNextModal(const std::function<void(T *)> &handle)
{
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, handle] {
        T *modal = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!modal)
            return;
        timer->stop();
        timer->deleteLater();
        handle(modal);
    });
    timer->start(10);
}

QtMessageHandler testLibraryHandler = nullptr;

// Whether the busy cursor was up at each warning that a decoder gave while a picture was read.
QList<bool> busyAtDecoderWarnings;

bool isBusy()
{
    const QCursor *cursor = QGuiApplication::overrideCursor();
    return cursor && cursor->shape() == Qt::WaitCursor;
}

// The offscreen platform says so whenever a dialog opens; it is noise, not a finding.
void dropPlatformNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("libpng ")) ||
        message.startsWith(QLatin1String("Corrupt JPEG data")))
        busyAtDecoderWarnings << isBusy();
    else if (!message.contains(QLatin1String("propagateSizeHints")))
        testLibraryHandler(type, context, message);
}

// Types text as key events carrying it, one character at a time; unlike keyClicks this also
// works for characters outside ASCII.
void typeText(QWidget *widget, const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        const int length = text.at(i).isHighSurrogate() ? 2 : 1;
        const QString character = text.mid(i, length);
        QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, character, Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, character, Qt::NoModifier);
        i += length - 1;
    }
}

struct BoxSeen
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    bool hasParent = true;
    bool busy = false;
};

// Records the next message box and closes it with the button of the given text; then is armed
// once the box is answered, for a box that follows it.
void answerBox(BoxSeen *seen, const QString &answer = QStringLiteral("确认"),
               const std::function<void()> &then = {})
{
    onNextModal<QMessageBox>([seen, answer, then](QMessageBox *box) {
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->hasParent = box->parentWidget() != nullptr;
        seen->busy = isBusy();
        const QList<QAbstractButton *> buttons = box->buttons();
        for (QAbstractButton *button : buttons) {
            seen->buttons << button->text();
            if (button->text() == answer)
                QTest::mouseClick(button, Qt::LeftButton);
        }
        if (then)
            then();
    });
}

class Window
{
public:
    Window() { window.show(); }

    template<typename T> T *widget(const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) { return widget<QPushButton>(name); }
    QTextEdit *text() { return widget<QTextEdit>("text"); }
    QString num() { return widget<QLabel>("num")->text(); }

    void click(const char *name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    void clickBox(const char *name)
    {
        QCheckBox *box = widget<QCheckBox>(name);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    }

    // Chooses a file through the real dialog; an empty path cancels it.
    void choose(const QString &path)
    {
        onNextModal<QFileDialog>([this, path](QFileDialog *dialog) {
            dialogTitle = dialog->windowTitle();
            dialogFilters = dialog->nameFilters();
            if (path.isEmpty()) {
                dialog->reject();
            } else {
                // Typed into the dialog's own name field and confirmed with Return, as a user
                // does.
                auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                QVERIFY(edit);
                edit->setText(path);
                QTest::keyClick(edit, Qt::Key_Return);
            }
        });
        click("choose");
    }

    // Which per-picture controls are enabled, and what the name field and counter show.
    QString controls()
    {
        QStringList enabled;
        for (const char *name : {"button", "text", "clear", "save", "copy", "name", "rawfile"}) {
            if (widget<QWidget>(name)->isEnabled())
                enabled << QLatin1String(name);
        }
        return enabled.join(QLatin1Char(' '));
    }

    MainWindow window;
    QString dialogTitle;
    QStringList dialogFilters;
};

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void construction();
    void form_data();
    void form();
    void accessibleNames_data();
    void accessibleNames();
    void qtTranslation();
    void modes_data();
    void modes();
    void uncheckingKeepsTheMode();
    void recheckingClearsTypedText();

    void controls_data();
    void controls();
    void editAfterHide_data();
    void editAfterHide();
    void keyboardFocus_data();
    void keyboardFocus();
    void refusedChoiceKeepsWindow_data();
    void refusedChoiceKeepsWindow();
    void preview_data();
    void preview();
    void limit_data();
    void limit();
    void outputName_data();
    void outputName();
    void save_data();
    void save();
    void overwrite_data();
    void overwrite();
    void fullDisk();
    void noMessage_data();
    void noMessage();
    void markupIsShownAsText();
    void endToEnd_data();
    void endToEnd();
    void drop_data();
    void drop();
    void busyCursor_data();
    void busyCursor();

private:
    QString writePicture(const QString &name, const QImage &image, const char *format = nullptr);

    QTemporaryDir *folder = nullptr;
};

void tst_MainWindow::initTestCase()
{
    testLibraryHandler = qInstallMessageHandler(dropPlatformNoise);
}

void tst_MainWindow::init()
{
    folder = new QTemporaryDir;
    QVERIFY(folder->isValid());
}

void tst_MainWindow::cleanup()
{
    delete folder;
    folder = nullptr;
    // A dialog left open would fail every later test; fail the one that leaked it.
    const QWidgetList open = QApplication::topLevelWidgets();
    for (QWidget *widget : open)
        QVERIFY2(!widget->isVisible() || qobject_cast<MainWindow *>(widget),
                 qPrintable(widget->metaObject()->className()));
}

QString tst_MainWindow::writePicture(const QString &name, const QImage &image, const char *format)
{
    const QString path = folder->filePath(name);
    if (!image.save(path, format))
        return QString();
    return path;
}

void tst_MainWindow::construction()
{
    connectionWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordConnectionWarnings);
    MainWindow window;
    qInstallMessageHandler(previous);
    QVERIFY2(connectionWarnings.isEmpty(), qPrintable(connectionWarnings.join(QLatin1Char('\n'))));

    QCOMPARE(window.windowTitle(), QStringLiteral("Quorvane-LSB"));
    QCOMPARE(window.size(), QSize(800, 518));
    QCOMPARE(window.minimumSize(), QSize(800, 518));
    QCOMPARE(window.maximumSize(), QSize(800, 518));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!window.windowIcon().isNull());
    // The embedded catalogue is a valid, empty one.
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/i18n/Quorvane_zh_CN.qm")));
    QVERIFY(translator.isEmpty());
    QCOMPARE(window.windowIcon().availableSizes().value(0), QSize(91, 91));

    // The eight slots and nothing else, in the order the form connects them.
    const QMetaObject *meta = window.metaObject();
    QStringList slotNames;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        slotNames << QString::fromLatin1(meta->method(i).methodSignature());
    QCOMPARE(slotNames,
             QStringList({"on_choose_clicked()", "on_save_clicked()", "on_button_clicked()",
                          "on_choose1_stateChanged(int)", "on_choose2_stateChanged(int)",
                          "on_clear_clicked()", "on_copy_clicked()", "on_text_textChanged()"}));
}

void tst_MainWindow::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<bool>("centred");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    const QString white = QStringLiteral("background:white;");
    QTest::newRow("raw") << "raw"
                         << "QLabel" << QRect(40, 50, 331, 280) << white << true << "" << true;
    QTest::newRow("encrypt") << "encrypt"
                             << "QLabel" << QRect(420, 50, 331, 280) << white << true << "" << true;
    QTest::newRow("label") << "label"
                           << "QLabel" << QRect(180, 20, 51, 16) << "" << false << "原图片" << true;
    QTest::newRow("text") << "text"
                          << "QTextEdit" << QRect(40, 380, 618, 87)
                          << "QTextEdit::disabled{background:white;color:black}" << false << ""
                          << false;
    QTest::newRow("rawfile") << "rawfile"
                             << "QLabel" << QRect(40, 346, 238, 20) << "background:white" << true
                             << "" << false;
    QTest::newRow("choose") << "choose"
                            << "QPushButton" << QRect(291, 343, 81, 28) << "" << false << "..."
                            << true;
    QTest::newRow("save") << "save"
                          << "QPushButton" << QRect(671, 343, 81, 28) << "" << false << "保存"
                          << false;
    QTest::newRow("button") << "button"
                            << "QPushButton" << QRect(671, 380, 81, 121) << "" << false << "加密"
                            << false;
    QTest::newRow("name") << "name"
                          << "QLineEdit" << QRect(419, 346, 238, 23)
                          << "QLineEdit::disabled{background:white}" << false << "" << false;
    QTest::newRow("choose1") << "choose1"
                             << "QCheckBox" << QRect(510, 20, 91, 19) << "" << false << "加密"
                             << true;
    QTest::newRow("choose2") << "choose2"
                             << "QCheckBox" << QRect(610, 20, 91, 19) << "" << false << "解密"
                             << true;
    QTest::newRow("clear") << "clear"
                           << "QPushButton" << QRect(570, 473, 41, 28) << "" << false << "清除"
                           << false;
    QTest::newRow("copy") << "copy"
                          << "QPushButton" << QRect(620, 473, 41, 28) << "" << false << "复制"
                          << false;
    QTest::newRow("num") << "num"
                         << "QLabel" << QRect(40, 477, 161, 20) << "" << false << "待加密密文"
                         << true;
}

void tst_MainWindow::form()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, styleSheet);
    QFETCH(bool, centred);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    MainWindow window;
    QWidget *central = window.centralWidget();
    QCOMPARE(central->objectName(), QStringLiteral("centralwidget"));
    auto *widget = central->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->styleSheet(), styleSheet);
    QCOMPARE(widget->isEnabled(), enabled);
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->alignment(), centred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter);
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        QCOMPARE(button->text(), text);
    } else if (auto *edit = qobject_cast<QTextEdit *>(widget)) {
        QCOMPARE(edit->toPlainText(), text);
    } else if (auto *line = qobject_cast<QLineEdit *>(widget)) {
        QCOMPARE(line->text(), text);
    }

    // Creation order is the keyboard focus order, since the form sets none.
    QStringList order;
    const QObjectList children = central->children();
    for (QObject *child : children) {
        if (child->isWidgetType())
            order << child->objectName();
    }
    QCOMPARE(order,
             QStringList({"raw", "encrypt", "label", "text", "rawfile", "choose", "save", "button",
                          "name", "choose1", "choose2", "clear", "copy", "num"}));
}

void tst_MainWindow::accessibleNames_data()
{
    QTest::addColumn<QString>("mode");

    QTest::newRow("encrypt-mode") << "choose1";
    QTest::newRow("decrypt-mode") << "choose2";
}

void tst_MainWindow::accessibleNames()
{
    QFETCH(QString, mode);

    Window window;
    window.clickBox(qPrintable(mode));
    window.choose(writePicture("photo.png", noiseImage(QSize(40, 30))));
    // What a screen reader asks for: every control has a name of its own, so that the mode
    // boxes and the run button, which show the same words, are told apart. The file name field
    // is named by the file name it shows.
    QStringList names;
    const QList<QWidget *> children = window.window.centralWidget()->findChildren<QWidget *>(
            QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(children.size(), 14);
    for (QWidget *child : children) {
        QAccessibleInterface *control = QAccessible::queryAccessibleInterface(child);
        QVERIFY(control);
        const QString name = control->text(QAccessible::Name);
        QVERIFY2(!name.isEmpty(), qPrintable(child->objectName()));
        QVERIFY2(!names.contains(name), qPrintable(child->objectName() + QLatin1Char(' ') + name));
        names << name;
    }
    for (const char *described : {"raw", "encrypt", "text", "rawfile", "num"}) {
        QVERIFY2(!QAccessible::queryAccessibleInterface(window.widget<QWidget>(described))
                          ->text(QAccessible::Description)
                          .isEmpty(),
                 described);
    }

    // The counter labels the text box, so its count is read with the box.
    QAccessibleInterface *text = QAccessible::queryAccessibleInterface(window.text());
    const auto labels = text->relations(QAccessible::Label);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.constFirst().first->object(), window.widget<QLabel>("num"));
}

void tst_MainWindow::qtTranslation()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    if (!QFileInfo::exists(folder + QStringLiteral("/qtbase_zh_CN.qm")))
        QSKIP("Qt's Chinese translation is not installed");

    QTranslator translator;
    QVERIFY(loadQtTranslation(translator, QLocale(QLocale::Chinese, QLocale::China)));
    QCoreApplication::installTranslator(&translator);
    // The window's own file dialog then speaks Chinese.
    Window window;
    QString cancel;
    onNextModal<QFileDialog>([&cancel](QFileDialog *dialog) {
        cancel = dialog->labelText(QFileDialog::Reject);
        dialog->reject();
    });
    QTest::ignoreMessage(QtDebugMsg, "Error");
    window.click("choose");
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(cancel, translator.translate("QPlatformTheme", "Cancel"));
    QVERIFY2(!cancel.isEmpty() && cancel != QLatin1String("Cancel"), qPrintable(cancel));
}

void tst_MainWindow::modes_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("num");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("encryptChecked");
    QTest::addColumn<bool>("decryptChecked");

    QTest::newRow("to-decrypt") << QStringList {"choose2"} << "解密明文"
                                << "解密" << false << true;
    QTest::newRow("to-decrypt-and-back") << QStringList {"choose2", "choose1"} << "待加密密文"
                                         << "加密" << true << false;
    QTest::newRow("decrypt-reentered")
            << QStringList {"choose2", "choose2", "choose2"} << "解密明文"
            << "解密" << false << true;
}

void tst_MainWindow::modes()
{
    QFETCH(QStringList, clicks);
    QFETCH(QString, num);
    QFETCH(QString, button);
    QFETCH(bool, encryptChecked);
    QFETCH(bool, decryptChecked);

    const QString path = writePicture("photo.png", noiseImage(QSize(40, 30)));
    Window window;
    window.choose(path);
    typeText(window.text(), "typed");
    window.click("button");
    QVERIFY(window.button("save")->isEnabled());

    for (const QString &name : clicks)
        window.clickBox(qPrintable(name));

    QCOMPARE(window.num(), num);
    QCOMPARE(window.button("button")->text(), button);
    QCOMPARE(window.widget<QCheckBox>("choose1")->isChecked(), encryptChecked);
    QCOMPARE(window.widget<QCheckBox>("choose2")->isChecked(), decryptChecked);
    QCOMPARE(window.controls(), QString());
    QVERIFY(window.text()->toPlainText().isEmpty());
    QVERIFY(shownPixmap(window.widget<QLabel>("raw")).isNull());
    QVERIFY(shownPixmap(window.widget<QLabel>("encrypt")).isNull());
    QVERIFY(window.widget<QLabel>("rawfile")->text().isEmpty());
    QVERIFY(window.widget<QLineEdit>("name")->text().isEmpty());
}

void tst_MainWindow::uncheckingKeepsTheMode()
{
    const QString path = writePicture("photo.png",
                                      pictureCarrying("000000001000"
                                                      "01000001"));
    Window window;
    window.clickBox("choose2");
    window.clickBox("choose2");
    QVERIFY(!window.widget<QCheckBox>("choose1")->isChecked());
    QVERIFY(!window.widget<QCheckBox>("choose2")->isChecked());
    QCOMPARE(window.num(), QStringLiteral("解密明文"));
    QCOMPARE(window.button("button")->text(), QStringLiteral("解密"));

    // Still in decrypt mode: a chosen picture reveals.
    window.choose(path);
    window.click("button");
    QCOMPARE(window.text()->toPlainText(), QStringLiteral("A"));
}

void tst_MainWindow::recheckingClearsTypedText()
{
    Window window;
    window.choose(writePicture("photo.png", noiseImage(QSize(40, 30))));
    typeText(window.text(), "secret");
    QCOMPARE(window.num(), QStringLiteral("6 / 448"));
    window.clickBox("choose1");
    window.clickBox("choose1");
    QVERIFY(window.widget<QCheckBox>("choose1")->isChecked());
    QCOMPARE(window.num(), QStringLiteral("待加密密文"));
    QVERIFY(window.text()->toPlainText().isEmpty());
    QCOMPARE(window.controls(), QString());
}

void tst_MainWindow::controls_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("enabled");
    QTest::addColumn<QString>("num");

    QTest::newRow("chosen-encrypt") << 0 << QString() << "button text clear"
                                    << "0 / 511";
    QTest::newRow("hidden") << 0 << "hello"
                            << "button text clear save"
                            << "5 / 511";
    QTest::newRow("hide-refused-empty") << 0 << ""
                                        << "button text clear"
                                        << "0 / 511";
    QTest::newRow("chosen-decrypt") << 1 << QString() << "button"
                                    << "解密明文";
    QTest::newRow("revealed") << 1 << "run"
                              << "button copy"
                              << "解密明文";
}

void tst_MainWindow::controls()
{
    QFETCH(int, mode);
    QFETCH(QString, message);
    QFETCH(QString, enabled);
    QFETCH(QString, num);

    QImage picture = noiseImage(QSize(100, 100));
    if (mode == 1)
        picture = pictureCarrying("000000001000"
                                  "01000001",
                                  100, 100);
    const QString path = writePicture("photo.png", picture);
    Window window;
    if (mode == 1)
        window.clickBox("choose2");
    window.choose(path);
    QCOMPARE(window.dialogTitle, QStringLiteral("选择一张图片"));
    QCOMPARE(window.dialogFilters, QStringList {"(*.png *.bmp)"});
    QCOMPARE(window.widget<QLabel>("rawfile")->text(), QStringLiteral("photo.png"));

    BoxSeen seen;
    if (!message.isNull()) {
        if (mode == 0)
            typeText(window.text(), message);
        if (message.isEmpty())
            answerBox(&seen);
        window.click("button");
    }
    QCOMPARE(window.controls(), enabled);
    QCOMPARE(window.num(), num);
    if (message.isEmpty() && !message.isNull())
        QCOMPARE(seen.text, QStringLiteral("至少一个字符"));
    QVERIFY(!shownPixmap(window.widget<QLabel>("raw")).isNull());
    QCOMPARE(shownPixmap(window.widget<QLabel>("encrypt")).isNull(),
             !enabled.contains(QLatin1String("save")));
    if (mode == 1 && !message.isNull())
        QCOMPARE(window.text()->toPlainText(), QStringLiteral("A"));
}

void tst_MainWindow::editAfterHide_data()
{
    QTest::addColumn<QString>("edit");

    QTest::newRow("typing") << "type";
    QTest::newRow("deleting") << "delete";
    QTest::newRow("clear-button") << "clear";
}

void tst_MainWindow::editAfterHide()
{
    QFETCH(QString, edit);

    const QString path = writePicture("photo.png", noiseImage(QSize(60, 40)));
    Window window;
    window.choose(path);
    typeText(window.text(), "first");
    window.click("button");
    QCOMPARE(window.controls(), QStringLiteral("button text clear save"));

    if (edit == QLatin1String("type"))
        typeText(window.text(), "!");
    else if (edit == QLatin1String("delete"))
        QTest::keyClick(window.text(), Qt::Key_Backspace);
    else
        window.click("clear");
    // The picture still holds "first", which the box no longer shows.
    QCOMPARE(window.controls(), QStringLiteral("button text clear"));
    QCOMPARE(window.widget<QLineEdit>("name")->text(), QStringLiteral("photo_encrypt.png"));
    QVERIFY(!shownPixmap(window.widget<QLabel>("encrypt")).isNull());

    // Hiding the edited text makes it the one that is saved.
    typeText(window.text(), "second");
    const QString shown = window.text()->toPlainText();
    window.click("button");
    QCOMPARE(window.controls(), QStringLiteral("button text clear save"));
    window.click("save");
    window.clickBox("choose2");
    window.choose(folder->filePath("photo_encrypt.png"));
    window.click("button");
    QCOMPARE(window.text()->toPlainText(), shown);
}

void tst_MainWindow::keyboardFocus_data()
{
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("next");

    // The form's order: the choose button follows the text box; backwards, the disabled copy
    // button is passed over for the clear button.
    QTest::newRow("tab") << Qt::KeyboardModifiers() << "choose";
    QTest::newRow("shift-tab") << Qt::KeyboardModifiers(Qt::ShiftModifier) << "clear";
}

void tst_MainWindow::keyboardFocus()
{
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, next);

    Window window;
    window.button("choose")->setFocus();
    window.choose(writePicture("photo.png", noiseImage(QSize(40, 30))));
    QCOMPARE(window.window.focusWidget(), window.text());

    typeText(window.text(), "ab");
    QTest::keyClick(window.text(), Qt::Key_Tab, modifiers);
    QCOMPARE(window.text()->toPlainText(), QStringLiteral("ab"));
    QCOMPARE(window.num(), QStringLiteral("2 / 448"));
    QCOMPARE(window.window.focusWidget()->objectName(), next);
}

void tst_MainWindow::refusedChoiceKeepsWindow_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning");

    QTest::newRow("cancelled") << "cancel" << QString();
    QTest::newRow("not-a-picture") << "text"
                                   << "无法读取图片";
    QTest::newRow("named-pipe") << "fifo"
                                << "无法读取图片";
    QTest::newRow("truncated-bmp") << "bmp"
                                   << "无法读取图片";
    QTest::newRow("announces-65535") << "huge"
                                     << "图片过大";
}

void tst_MainWindow::refusedChoiceKeepsWindow()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);

    QString path;
    if (kind == QLatin1String("text")) {
        path = folder->filePath("notes.png");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a picture at all");
    } else if (kind == QLatin1String("fifo")) {
        path = folder->filePath("pipe.png");
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("bmp")) {
        path = writePicture("cut.bmp", noiseImage(QSize(64, 64)));
        QFile file(path);
        QVERIFY(file.resize(file.size() - 200));
    } else if (kind == QLatin1String("huge")) {
        // A small valid PNG whose header claims 65535 × 65535.
        path = folder->filePath("huge.png");
        QVERIFY(writeFile(path, announcingPng(65535, 65535)));
    }

    Window window;
    window.choose(writePicture("first.png", noiseImage(QSize(60, 40))));
    typeText(window.text(), "kept");
    window.click("button");
    const QString before = window.controls();
    const QPixmap rawBefore = shownPixmap(window.widget<QLabel>("raw"));

    BoxSeen seen;
    if (!warning.isEmpty())
        answerBox(&seen);
    if (kind == QLatin1String("cancel"))
        QTest::ignoreMessage(QtDebugMsg, "Error");
    window.choose(path);

    QCOMPARE(seen.text, warning);
    if (!warning.isEmpty()) {
        QCOMPARE(seen.title, QStringLiteral("Warning"));
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.buttons, QStringList {"确认"});
        QVERIFY(!seen.hasParent);
    }
    QCOMPARE(window.controls(), before);
    QCOMPARE(window.widget<QLabel>("rawfile")->text(), QStringLiteral("first.png"));
    QCOMPARE(window.text()->toPlainText(), QStringLiteral("kept"));
    QCOMPARE(window.num(), QStringLiteral("4 / 511"));
    QCOMPARE(window.widget<QLineEdit>("name")->text(), QStringLiteral("first_encrypt.png"));
    QCOMPARE(shownPixmap(window.widget<QLabel>("raw")).toImage(), rawBefore.toImage());

    // The earlier picture is still the one that gets saved.
    window.click("save");
    QImage saved(folder->filePath("first_encrypt.png"));
    QCOMPARE(saved.size(), QSize(60, 40));
}

void tst_MainWindow::preview_data()
{
    // The scaling steps at a device pixel ratio of 1 and of 2 (the label's 331 × 280 is then
    // 662 × 560 device pixels); no step leaves the picture as it is.
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QList<QSize>>("stepsAtOne");
    QTest::addColumn<QList<QSize>>("stepsAtTwo");

    using Steps = QList<QSize>;
    QTest::newRow("smaller") << QSize(300, 200) << Steps() << Steps();
    QTest::newRow("exact") << QSize(331, 280) << Steps() << Steps();
    QTest::newRow("one-larger") << QSize(332, 281) << Steps {{331, 280}} << Steps();
    QTest::newRow("800x600") << QSize(800, 600) << Steps {{331, 248}} << Steps {{662, 496}};
    QTest::newRow("1000x500") << QSize(1000, 500) << Steps {{331, 165}} << Steps {{662, 331}};
    QTest::newRow("1920x1080") << QSize(1920, 1080) << Steps {{331, 186}} << Steps {{662, 372}};
    QTest::newRow("both-stages") << QSize(400, 1000) << Steps {{331, 827}, {112, 280}}
                                 << Steps {{224, 560}};
    QTest::newRow("portrait") << QSize(1080, 1920) << Steps {{331, 588}, {157, 280}}
                              << Steps {{662, 1176}, {315, 560}};
    QTest::newRow("tall") << QSize(100, 900) << Steps {{31, 280}} << Steps {{62, 560}};
    QTest::newRow("thin-line") << QSize(10000, 1) << Steps {{331, 1}} << Steps {{662, 1}};
    QTest::newRow("thin-column") << QSize(1, 10000) << Steps {{1, 280}} << Steps {{1, 560}};
}

// Runs at the screen's device pixel ratio: 1 normally, 2 where CTest sets QT_SCALE_FACTOR=2.
void tst_MainWindow::preview()
{
    QFETCH(QSize, picture);
    QFETCH(QList<QSize>, stepsAtOne);
    QFETCH(QList<QSize>, stepsAtTwo);

    const QImage source = noiseImage(picture);
    Window window;
    const qreal ratio = window.widget<QLabel>("raw")->devicePixelRatioF();
    QVERIFY2(ratio == 1 || ratio == 2, qPrintable(QString::number(ratio)));
    // Scaled the same way, step by step, without smoothing.
    QImage expected = source;
    const QList<QSize> steps = ratio == 2 ? stepsAtTwo : stepsAtOne;
    for (const QSize &step : steps)
        expected = expected.scaled(step, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    expected.setDevicePixelRatio(ratio);

    window.choose(writePicture("photo.png", source));
    typeText(window.text(), "x");
    window.click("button");
    for (const char *name : {"raw", "encrypt"}) {
        const QPixmap shown = shownPixmap(window.widget<QLabel>(name));
        QCOMPARE(shown.devicePixelRatio(), ratio);
        QCOMPARE(shown.size(), expected.size());
        // The hidden "x" changes low bits only in the first pixels; the source preview is exact.
        if (qstrcmp(name, "raw") == 0)
            QCOMPARE(shown.toImage().convertToFormat(expected.format()), expected);
    }
}

void tst_MainWindow::limit_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("num");
    QTest::addColumn<bool>("accepted");

    const QString han(QChar(0x4E2D));
    const QString emoji = QString::fromUtf8("\xF0\x9F\x94\x92");
    QTest::newRow("ascii-511") << QSize(100, 100) << QString(511, 'a') << "511 / 511" << true;
    QTest::newRow("ascii-512") << QSize(100, 100) << QString(512, 'a') << "512 / 511" << false;
    QTest::newRow("cjk-170") << QSize(100, 100) << han.repeated(170) << "510 / 511" << true;
    QTest::newRow("cjk-171") << QSize(100, 100) << han.repeated(171) << "513 / 511" << false;
    QTest::newRow("emoji-counts-4") << QSize(100, 100) << emoji << "4 / 511" << true;
    QTest::newRow("fills-10x10") << QSize(10, 10) << QString(36, 'z') << "36 / 36" << true;
    QTest::newRow("over-10x10") << QSize(10, 10) << QString(37, 'z') << "37 / 36" << false;
    QTest::newRow("spaces-only") << QSize(10, 10) << "  \n "
                                 << "4 / 36" << true;
    QTest::newRow("tiny-picture") << QSize(2, 2) << "a"
                                  << "1 / 0" << false;
}

void tst_MainWindow::limit()
{
    QFETCH(QSize, size);
    QFETCH(QString, message);
    QFETCH(QString, num);
    QFETCH(bool, accepted);

    const QString path = writePicture("photo.png", noiseImage(size));
    Window window;
    window.choose(path);
    window.text()->setPlainText(message);
    QCOMPARE(window.num(), num);

    BoxSeen seen;
    if (!accepted)
        answerBox(&seen);
    window.click("button");
    QCOMPARE(window.button("save")->isEnabled(), accepted);
    QCOMPARE(seen.text, accepted ? QString() : QStringLiteral("字符过多"));
    if (!accepted)
        return;

    window.click("save");
    window.clickBox("choose2");
    window.choose(folder->filePath("photo_encrypt.png"));
    window.click("button");
    QCOMPARE(window.text()->toPlainText(), message);
}

void tst_MainWindow::outputName_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("proposed");
    QTest::addColumn<bool>("alphaKept");

    QTest::newRow("png") << "photo.png"
                         << "photo_encrypt.png" << true;
    QTest::newRow("upper-case-png") << "photo.PNG"
                                    << "photo_encrypt.PNG" << true;
    QTest::newRow("two-dots") << "my.photo.png"
                              << "my_encrypt.photo.png" << true;
    QTest::newRow("no-dot") << "photo"
                            << "photo_encrypt.png" << true;
    QTest::newRow("jpeg-name") << "photo.jpg"
                               << "photo_encrypt.png" << true;
    QTest::newRow("bmp") << "photo.bmp"
                         << "photo_encrypt.bmp" << false;
}

void tst_MainWindow::outputName()
{
    QFETCH(QString, source);
    QFETCH(QString, proposed);
    QFETCH(bool, alphaKept);

    // Half-transparent pixels show whether a hide forced them opaque. The content is PNG or
    // BMP whatever the name says; the reader detects it.
    QImage picture = noiseImage(QSize(20, 20), QImage::Format_ARGB32);
    picture.fill(qRgba(10, 20, 30, 0x80));
    const bool bmp = source.endsWith(QLatin1String(".bmp"));
    const QString path = writePicture(source, picture, bmp ? "BMP" : "PNG");
    QVERIFY(!path.isEmpty());

    Window window;
    window.choose(path);
    typeText(window.text(), "hi");
    window.click("button");
    QCOMPARE(window.widget<QLineEdit>("name")->text(), proposed);
    QVERIFY(window.widget<QLineEdit>("name")->isReadOnly());
    QVERIFY(!window.widget<QLineEdit>("name")->isEnabled());
    window.click("button");
    QCOMPARE(window.widget<QLineEdit>("name")->text(), proposed);

    window.click("save");
    const QImage loaded(path);
    const QImage saved(folder->filePath(proposed));
    QVERIFY(!saved.isNull());
    QCOMPARE(qAlpha(saved.pixel(0, 0)), alphaKept ? qAlpha(loaded.pixel(0, 0)) : 0xFF);
    // Pixels after the message keep their alpha either way.
    QCOMPARE(qAlpha(saved.pixel(19, 19)), qAlpha(loaded.pixel(19, 19)));
}

void tst_MainWindow::save_data()
{
    QTest::addColumn<QString>("obstacle");

    QTest::newRow("writable") << QString();
    QTest::newRow("folder-removed") << "removed";
    QTest::newRow("target-is-folder") << "folder";
}

void tst_MainWindow::save()
{
    QFETCH(QString, obstacle);

    QTemporaryDir pictures(folder->filePath("pictures-XXXXXX"));
    const QString path = pictures.filePath("photo.png");
    QVERIFY(noiseImage(QSize(50, 50)).save(path));
    Window window;
    window.choose(path);
    typeText(window.text(), "saved");
    window.click("button");

    const QString target = pictures.filePath("photo_encrypt.png");
    if (obstacle == QLatin1String("removed"))
        QVERIFY(pictures.remove());
    else if (obstacle == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(target));

    BoxSeen seen;
    if (!obstacle.isEmpty())
        answerBox(&seen);
    window.click("save");

    if (obstacle.isEmpty()) {
        QVERIFY(seen.text.isEmpty());
        QCOMPARE(QImage(target).size(), QSize(50, 50));
    } else {
        QCOMPARE(seen.text, QStringLiteral("保存失败"));
        QCOMPARE(seen.buttons, QStringList {"确认"});
        QVERIFY(!QFileInfo(target).isFile());
    }
}

void tst_MainWindow::overwrite_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("confirmed") << "确认" << true;
    QTest::newRow("cancelled") << "取消" << false;
}

void tst_MainWindow::overwrite()
{
    QFETCH(QString, answer);
    QFETCH(bool, replaced);

    const QString path = writePicture("photo.png", noiseImage(QSize(30, 30)));
    const QString target = folder->filePath("photo_encrypt.png");
    {
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older file");
    }
    Window window;
    window.choose(path);
    typeText(window.text(), "new");
    window.click("button");

    BoxSeen seen;
    answerBox(&seen, answer);
    window.click("save");
    QCOMPARE(seen.title, QStringLiteral("Warning"));
    QCOMPARE(seen.text, QStringLiteral("文件已存在，是否覆盖？"));
    QCOMPARE(seen.icon, QMessageBox::Question);
    QCOMPARE(seen.buttons, QStringList({"确认", "取消"}));
    QVERIFY(!seen.hasParent);

    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll() == "an older file", !replaced);
    QCOMPARE(QImage(target).isNull(), !replaced);
}

void tst_MainWindow::fullDisk()
{
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    const QString path = writePicture("photo.png", noiseImage(QSize(300, 300)));
    const QString target = folder->filePath("photo_encrypt.png");
    const QByteArray old(1000, 'o');
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    Window window;
    window.choose(path);
    typeText(window.text(), "big");
    window.click("button");

    BoxSeen overwriteQuestion;
    BoxSeen failure;
    {
        const FileSizeLimit limit(64 * 1024);
        QVERIFY(limit.active);
        answerBox(&overwriteQuestion, QStringLiteral("确认"), [&failure] { answerBox(&failure); });
        window.click("save");
    }

    QCOMPARE(failure.text, QStringLiteral("保存失败"));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), old);
    QCOMPARE(QDir(folder->path()).entryList(QDir::Files).size(), 2);
}

void tst_MainWindow::noMessage_data()
{
    QTest::addColumn<QString>("digits");

    QTest::newRow("plain-picture") << QString();
    QTest::newRow("header-zero") << "000000000000"
                                    "01000001";
    QTest::newRow("header-not-whole-bytes") << "000000001001"
                                               "010000011";
    QTest::newRow("body-not-utf8") << "000000010000"
                                      "1100000110000001";
    QTest::newRow("body-holds-zero-byte") << "000000010000"
                                             "0000000001000001";
}

void tst_MainWindow::noMessage()
{
    QFETCH(QString, digits);

    const QImage picture = digits.isEmpty() ? noiseImage(QSize(64, 48), QImage::Format_RGB32, 3)
                                            : pictureCarrying(digits);
    Window window;
    window.clickBox("choose2");
    window.choose(writePicture("plain.png", picture));
    BoxSeen seen;
    answerBox(&seen);
    window.click("button");
    QCOMPARE(seen.text, QStringLiteral("未发现隐藏信息"));
    QCOMPARE(seen.icon, QMessageBox::Information);
    QVERIFY(window.text()->toPlainText().isEmpty());
    QCOMPARE(window.controls(), QStringLiteral("button"));
}

void tst_MainWindow::markupIsShownAsText()
{
    const QString message = QStringLiteral("<b>bold</b> & <i>x</i>\nnext line");
    Window window;
    window.choose(writePicture("photo.png", noiseImage(QSize(80, 80))));
    window.text()->setPlainText(message);
    window.click("button");
    window.click("save");
    window.clickBox("choose2");
    window.choose(folder->filePath("photo_encrypt.png"));
    window.click("button");
    window.click("button");
    QCOMPARE(window.text()->toPlainText(), message);
    window.click("copy");
    QCOMPARE(QGuiApplication::clipboard()->text(), message);
}

void tst_MainWindow::endToEnd_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("source");

    QTest::newRow("ascii-png") << "Meet at noon."
                               << "photo.png";
    QTest::newRow("chinese-bmp") << QString::fromUtf8("明天中午见") << "photo.bmp";
    // Read like the others, saved as PNG.
    QTest::newRow("ascii-jpeg") << "Meet at noon."
                                << "photo.jpg";
    QTest::newRow("ascii-gif") << "Meet at noon."
                               << "drawing.gif";
}

void tst_MainWindow::endToEnd()
{
    QFETCH(QString, message);
    QFETCH(QString, source);

    const QImage image = noiseImage(QSize(120, 90));
    const QString path = source.endsWith(QLatin1String(".gif")) ? folder->filePath(source)
                                                                : writePicture(source, image);
    if (source.endsWith(QLatin1String(".gif")))
        QVERIFY(writeFile(path, gifFile(image.convertToFormat(QImage::Format_Indexed8))));
    Window window;
    window.choose(path);
    typeText(window.text(), message);
    QCOMPARE(window.text()->toPlainText(), message);
    QCOMPARE(window.num(), QString::number(message.toUtf8().size()) + QStringLiteral(" / 511"));
    window.click("clear");
    QCOMPARE(window.num(), QStringLiteral("0 / 511"));
    typeText(window.text(), message);
    window.click("button");
    window.click("save");

    window.clickBox("choose2");
    QCOMPARE(window.num(), QStringLiteral("解密明文"));
    QGuiApplication::clipboard()->clear();
    window.choose(QFileInfo(path).dir().filePath(HidingRules::outputName(source)));
    window.click("button");
    QCOMPARE(window.text()->toPlainText(), message);
    QCOMPARE(window.num(), QStringLiteral("解密明文"));
    window.click("copy");
    QCOMPARE(QGuiApplication::clipboard()->text(), message);
}

void tst_MainWindow::drop_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QString>("warning");

    for (int mode : {0, 1}) {
        const char *name = mode == 0 ? "encrypt" : "decrypt";
        QTest::addRow("%s-png", name) << mode << QStringList {"drop.png"} << true << QString();
        QTest::addRow("%s-bmp", name) << mode << QStringList {"drop.bmp"} << true << QString();
        QTest::addRow("%s-two-files", name)
                << mode << QStringList {"drop.png", "drop.bmp"} << false << QString();
        QTest::addRow("%s-folder", name) << mode << QStringList {"folder"} << false << QString();
        QTest::addRow("%s-not-a-picture", name)
                << mode << QStringList {"notes.png"} << false << QStringLiteral("无法读取图片");
        QTest::addRow("%s-remote", name)
                << mode << QStringList {"https://example.org/drop.png"} << false << QString();
    }
}

void tst_MainWindow::drop()
{
    QFETCH(int, mode);
    QFETCH(QStringList, files);
    QFETCH(bool, opened);
    QFETCH(QString, warning);

    writePicture("drop.png", noiseImage(QSize(40, 30)));
    writePicture("drop.bmp", noiseImage(QSize(40, 30)));
    QVERIFY(QDir(folder->path()).mkdir("folder"));
    QFile notes(folder->filePath("notes.png"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("plain words");
    notes.close();

    QList<QUrl> urls;
    for (const QString &file : files) {
        urls << (file.startsWith(QLatin1String("https:"))
                         ? QUrl(file)
                         : QUrl::fromLocalFile(folder->filePath(file)));
    }
    QMimeData data;
    data.setUrls(urls);

    Window window;
    if (mode == 1)
        window.clickBox("choose2");
    window.choose(writePicture("first.png", noiseImage(QSize(20, 20))));
    const QString before = window.controls();
    const QString numBefore = window.num();

    QDragEnterEvent enter(QPoint(400, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window.window, &enter);
    QCOMPARE(enter.isAccepted(), opened || !warning.isEmpty());

    BoxSeen seen;
    if (!warning.isEmpty())
        answerBox(&seen);
    QDropEvent dropped(QPointF(400, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window.window, &dropped);

    if (opened) {
        QTRY_COMPARE(window.widget<QLabel>("rawfile")->text(), files.constFirst());
        QCOMPARE(window.controls(),
                 mode == 0 ? QStringLiteral("button text clear") : QStringLiteral("button"));
        QCOMPARE(window.num(), mode == 0 ? QStringLiteral("0 / 448") : QStringLiteral("解密明文"));
        QCOMPARE(shownPixmap(window.widget<QLabel>("raw")).size(), QSize(40, 30));
        return;
    }
    if (!warning.isEmpty())
        QTRY_COMPARE(seen.text, warning);
    QCoreApplication::processEvents();
    QCOMPARE(window.widget<QLabel>("rawfile")->text(), QStringLiteral("first.png"));
    QCOMPARE(window.controls(), before);
    QCOMPARE(window.num(), numBefore);
}

void tst_MainWindow::busyCursor_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("warning");

    QTest::newRow("open-readable") << "open" << QString();
    QTest::newRow("open-cut-short") << "open"
                                    << "无法读取图片";
    QTest::newRow("save-written") << "save" << QString();
    QTest::newRow("save-folder-gone") << "save"
                                      << "保存失败";
}

void tst_MainWindow::busyCursor()
{
    QFETCH(QString, step);
    QFETCH(QString, warning);

    // Stray bytes before a JPEG photograph's end marker make the decoder warn while the picture
    // is read, which is when the cursor must be busy; it still loads.
    const bool readable = step == QLatin1String("open") && warning.isEmpty();
    QByteArray contents =
            readFile(writePicture(readable ? "plain.jpg" : "plain.png", noiseImage(QSize(40, 30))));
    if (readable)
        contents.insert(contents.size() - 2, "stray");
    else if (step == QLatin1String("open"))
        contents.chop(40);
    QTemporaryDir pictures(folder->filePath("pictures-XXXXXX"));
    const QString path = pictures.filePath(readable ? "photo.jpg" : "photo.png");
    QVERIFY(writeFile(path, contents));

    Window window;
    BoxSeen seen;
    if (!warning.isEmpty())
        answerBox(&seen);
    busyAtDecoderWarnings.clear();
    window.choose(path);
    // A file cut short may be refused before the decoder sees it; the one that loads is decoded.
    if (readable)
        QVERIFY2(!busyAtDecoderWarnings.isEmpty() && !busyAtDecoderWarnings.contains(false),
                 "the cursor was not busy while the picture was read");
    if (step == QLatin1String("save")) {
        typeText(window.text(), "busy");
        window.click("button");
        if (!warning.isEmpty())
            QVERIFY(pictures.remove());
        window.click("save");
        QCOMPARE(QFileInfo::exists(pictures.filePath("photo_encrypt.png")), warning.isEmpty());
    }

    QCOMPARE(seen.text, warning);
    QVERIFY2(!seen.busy, "the cursor was busy behind the message box");
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QCommandLineParser;
class QJsonObject;
QT_END_NAMESPACE

class CarrierImage;

// One run of quorvane-lsb-cli: reads its arguments, hides, reveals or describes, and says how it
// went in the exit status.
class CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    // The exit statuses; with several pictures the highest one met is returned.
    enum Status {
        Success = 0,
        NoMessage = 1,
        UsageError = 2,
        PictureError = 3,
        MessageError = 4,
        OutputError = 5
    };

    CommandLine(const QStringList &arguments, const QList<QByteArray> &rawArguments);
    int run();

private:
    int hide(const QStringList &commandArguments);
    int takeMessage(const QString &text, const CarrierImage &picture, QByteArray *message);
    int readMessage(const QString &path, const CarrierImage &picture, QByteArray *message);
    int checkMessage(const QString &name, const QByteArray &bytes, qint64 size,
                     const CarrierImage &picture);
    int inspectAll(const QStringList &commandArguments, bool reveal);
    int inspect(CarrierImage &picture, const QString &path, QJsonObject *result);
    int loadPicture(CarrierImage &picture, const QString &path, QString *shortError);
    int writeMessage(const QString &path, const QByteArray &message);
    bool parse(QCommandLineParser &parser, const QStringList &commandArguments, int *status);
    static QString exitStatusText();
    void printHelp();
    int usageError(const QString &text);
    void printError(const QString &file, const QString &text);

    QStringList arguments;
    QList<QByteArray> rawArguments;
};

#endif // COMMANDLINE_H

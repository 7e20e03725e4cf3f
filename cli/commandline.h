#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "carrierimage.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QCommandLineParser;
class QJsonObject;
QT_END_NAMESPACE

class FileReveal;

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

    // How an output is written: a regular file is replaced whole; a FIFO or a device, which a
    // reader may be waiting on, the program's own standard streams and any other descriptor named
    // as /dev/fd/N are written into.
    enum class OutputKind { File, Stream, StandardOutput, StandardError, Descriptor };

    explicit CommandLine(const QList<QByteArray> &rawArguments);
    int run();

private:
    int hide(const QStringList &commandArguments);
    int hideLoaded(const QCommandLineParser &parser, CarrierImage &picture,
                   const QStringList &names, const QString &source, const QString &output);
    int readMessage(const QString &path, CarrierImage &picture, QByteArray *message);
    bool awaitInput(int descriptor, CarrierImage &picture);
    int checkMessage(const QString &name, const QByteArray &bytes, qint64 size,
                     const CarrierImage &picture);
    int inspectAll(const QStringList &commandArguments, bool reveal);
    int inspect(FileReveal &picture, const QString &path, QJsonObject *result);
    int loadPicture(CarrierImage &picture, const QString &path, CarrierImage::LoadDepth depth,
                    QString *shortError);
    int reportLoad(CarrierImage::LoadResult result, const QString &path, QString *shortError);
    int findOutput(const QString &path, const QStringList &pictures, OutputKind *kind);
    int writeOutput(const QString &path, OutputKind kind, const QByteArray &bytes);
    bool parse(QCommandLineParser &parser, const QStringList &commandArguments, int *status);
    bool takeFileNames(const QStringList &given, QStringList *names);
    static QString exitStatusText(const QString &command);
    void printHelp();
    int usageError(const QString &text);
    void printError(const QString &file, const QString &text);

    // Each byte of each argument as one character, so that the parser reads the options as
    // usual and every value goes back to the exact bytes given with toLatin1().
    QStringList arguments;
    // While set, errors are kept in heldErrors instead of printed.
    bool holdingErrors = false;
    QByteArray heldErrors;
    // The descriptor a Descriptor output names.
    int outputDescriptor = -1;
};

#endif // COMMANDLINE_H

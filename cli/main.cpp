#include "commandline.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>

#include <cstdio>

namespace {

// The decoders' own warnings (libjpeg's "Corrupt JPEG data…", Qt's XPM reader) would speak in
// another voice beside ours; every outcome they could explain is reported by the program itself.
void dropDecoderWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg || type == QtCriticalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(dropDecoderWarnings);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-lsb-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));

    // The arguments as the shell passed them: Qt's decoding replaces bytes that are not UTF-8
    // and drops a leading byte order mark, and names and messages are used byte for byte.
    QList<QByteArray> rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QByteArray(argv[i]);
    CommandLine commandLine(rawArguments);
    return commandLine.run();
}

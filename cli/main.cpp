#include "commandline.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>

int main(int argc, char **argv)
{
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

#include "commandline.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-lsb-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));

    // The arguments as the shell passed them, to tell a message that is not UTF-8 from one that
    // is: Qt's decoding replaces what it cannot read.
    QList<QByteArray> rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QByteArray(argv[i]);
    CommandLine commandLine(QCoreApplication::arguments(), rawArguments);
    return commandLine.run();
}

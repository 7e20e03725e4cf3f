#include "commandline.h"

#include "carrierimage.h"
#include "hidingrules.h"

#include <QChar>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>

#include <unistd.h>

namespace {

void writeTo(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// Reads all of device but keeps at most keep bytes, so that a huge input is refused by its
// length without being held in memory. Returns the length, or -1 if reading failed.
qint64 readAtMost(QIODevice *device, int keep, QByteArray *kept)
{
    qint64 total = 0;
    for (;;) {
        const QByteArray chunk = device->read(64 * 1024);
        if (chunk.isEmpty())
            break;
        total += chunk.size();
        if (kept->size() < keep)
            kept->append(chunk.left(keep - kept->size()));
    }
    return device->atEnd() || device->isSequential() ? total : -1;
}

// The formats read, as "PNG, BMP, … or ICO".
QString formatList()
{
    QStringList names = CarrierImage::readableFormats();
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

} // namespace

CommandLine::CommandLine(const QStringList &arguments, const QList<QByteArray> &rawArguments)
    : arguments(arguments), rawArguments(rawArguments)
{ }

int CommandLine::run()
{
    const QString command = arguments.value(1);
    int status = Success;
    if (command == QLatin1String("hide")) {
        status = hide(arguments.mid(1));
    } else if (command == QLatin1String("reveal") || command == QLatin1String("info")) {
        status = inspectAll(arguments.mid(1), command == QLatin1String("reveal"));
    } else if (command == QLatin1String("help") && arguments.size() > 2) {
        const QString topic = arguments.at(2);
        if (topic != QLatin1String("hide") && topic != QLatin1String("reveal") &&
            topic != QLatin1String("info"))
            return usageError(tr("no command named '%1'").arg(topic));
        arguments = QStringList {arguments.at(0), topic, QStringLiteral("--help")};
        return run();
    } else if (command == QLatin1String("help") || command == QLatin1String("-h") ||
               command == QLatin1String("--help")) {
        printHelp();
    } else if (command == QLatin1String("-v") || command == QLatin1String("--version")) {
        writeTo(stdout,
                (QCoreApplication::applicationName() + QLatin1Char(' ') +
                 QCoreApplication::applicationVersion() + QLatin1Char('\n'))
                        .toLocal8Bit());
    } else if (command.isEmpty()) {
        return usageError(tr("no command given"));
    } else {
        return usageError(tr("unknown command '%1'").arg(command));
    }
    // Output that never arrived, on a full disk or a closed pipe, must not pass for success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        printError(tr("standard output"), tr("could not be written"));
        status = qMax(status, int(OutputError));
    }
    return status;
}

int CommandLine::hide(const QStringList &commandArguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            tr("Hides a message in PICTURE and saves the result, by default beside it as "
               "NAME_encrypt.png or NAME_encrypt.bmp, then prints the path it saved."));
    const QCommandLineOption messageOption({QStringLiteral("m"), QStringLiteral("message")},
                                           tr("Hide TEXT."), QStringLiteral("TEXT"));
    const QCommandLineOption fileOption(
            {QStringLiteral("f"), QStringLiteral("file")},
            tr("Hide the bytes of FILE; - is standard input, which is also read when neither "
               "-m nor -f is given."),
            QStringLiteral("FILE"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          tr("Save as OUTPUT, whose name ends in .png or .bmp."),
                                          QStringLiteral("OUTPUT"));
    const QCommandLineOption forceOption(QStringLiteral("force"),
                                         tr("Replace the output if it exists."));
    parser.addOptions({messageOption, fileOption, outputOption, forceOption});
    parser.addPositionalArgument(QStringLiteral("picture"), tr("The picture to hide it in."),
                                 QStringLiteral("hide PICTURE"));
    int status = Success;
    if (!parse(parser, commandArguments, &status))
        return status;

    const QStringList pictures = parser.positionalArguments();
    if (pictures.size() != 1)
        return usageError(tr("hide takes exactly one picture"));
    if (parser.isSet(messageOption) && parser.isSet(fileOption))
        return usageError(tr("give the message with -m or with -f, not both"));
    const bool fromTerminal =
            !parser.isSet(messageOption) && !parser.isSet(fileOption) && isatty(STDIN_FILENO);
    if (fromTerminal)
        return usageError(tr("no message: give -m TEXT or -f FILE, or pipe the message in"));
    const QString source = pictures.constFirst();
    QString output = parser.value(outputOption);
    if (!parser.isSet(outputOption)) {
        // Beside the source, with the source's folder written as the user wrote it.
        const QString fileName = QFileInfo(source).fileName();
        output = source.left(source.size() - fileName.size()) + HidingRules::outputName(fileName);
    } else if (!HidingRules::keepsLowBits(QFileInfo(output).suffix())) {
        return usageError(tr("%1: pictures are saved as PNG or BMP only, since other formats "
                             "lose the hidden bits; give -o a name ending in .png or .bmp")
                                  .arg(output));
    }

    CarrierImage picture;
    QString shortError;
    status = loadPicture(picture, source, &shortError);
    if (status != Success)
        return status;
    QByteArray message;
    if (parser.isSet(messageOption))
        status = takeMessage(parser.value(messageOption), picture, &message);
    else
        status = readMessage(parser.isSet(fileOption) ? parser.value(fileOption)
                                                      : QStringLiteral("-"),
                             picture, &message);
    if (status != Success)
        return status;

    const QFileInfo target(output);
    if (!parser.isSet(forceOption) && (target.exists() || target.isSymLink())) {
        printError(output,
                   tr("already exists; add --force to replace it, or choose another name "
                      "with -o"));
        return OutputError;
    }
    picture.setMessageBytes(message);
    picture.textToBits();
    picture.hideBits(HidingRules::writesOpaque(output) ? 1 : 0);
    if (!picture.saveImage(output)) {
        printError(output,
                   tr("could not be saved; check that its folder exists and is writable, and "
                      "that the disk has room"));
        return OutputError;
    }
    writeTo(stdout, QFile::encodeName(output) + '\n');
    return Success;
}

int CommandLine::takeMessage(const QString &text, const CarrierImage &picture, QByteArray *message)
{
    *message = text.toUtf8();
    // Qt decodes bytes that are not UTF-8 as U+FFFD, so such a message is taken from the raw
    // argument, as -m TEXT, -mTEXT or --message=TEXT.
    if (text.contains(QChar(QChar::ReplacementCharacter))) {
        for (const QByteArray &raw : qAsConst(rawArguments)) {
            const QString decoded = QString::fromLocal8Bit(raw);
            const QString prefix = decoded.left(decoded.size() - text.size());
            if (decoded.endsWith(text) &&
                (prefix.isEmpty() || prefix == QLatin1String("-m") ||
                 prefix == QLatin1String("--message="))) {
                *message = raw.mid(prefix.size());
                break;
            }
        }
    }
    return checkMessage(tr("the text given with -m"), *message, message->size(), picture);
}

int CommandLine::readMessage(const QString &path, const CarrierImage &picture, QByteArray *message)
{
    const bool standardInput = path == QLatin1String("-");
    const QString name = standardInput ? tr("standard input") : path;
    QFile file(path);
    const bool opened = standardInput ? file.open(stdin, QIODevice::ReadOnly)
                                      : !QFileInfo(path).isDir() && file.open(QIODevice::ReadOnly);
    // One byte more than any picture holds tells a message that is too long.
    const qint64 size = opened ? readAtMost(&file, CarrierImage::maxMessageBytes + 1, message) : -1;
    if (size < 0) {
        printError(name, tr("cannot be read; check that the message file exists and is readable"));
        return MessageError;
    }
    return checkMessage(name, *message, size, picture);
}

int CommandLine::checkMessage(const QString &name, const QByteArray &bytes, qint64 size,
                              const CarrierImage &picture)
{
    const int capacity = picture.getCapacity();
    if (size > capacity) {
        printError(name,
                   tr("the message is %1 bytes, %2 more than the %3 bytes this picture holds; "
                      "shorten it or use a larger picture")
                           .arg(size)
                           .arg(size - capacity)
                           .arg(capacity));
        return MessageError;
    }
    switch (HidingRules::checkMessage(bytes, capacity)) {
    case HidingRules::MessageCheck::Fits:
        return Success;
    case HidingRules::MessageCheck::Empty:
        printError(name, tr("the message is empty; give at least one character"));
        break;
    case HidingRules::MessageCheck::NotUtf8:
        printError(name, tr("the message is not valid UTF-8 text; convert it to UTF-8 first"));
        break;
    case HidingRules::MessageCheck::HasZeroByte:
        printError(name, tr("the message contains a zero byte, which cannot be hidden; remove it"));
        break;
    case HidingRules::MessageCheck::TooLong:
        break; // reported above, with the length that was read
    }
    return MessageError;
}

int CommandLine::inspectAll(const QStringList &commandArguments, bool reveal)
{
    QCommandLineParser parser;
    const QCommandLineOption jsonOption(
            QStringLiteral("json"),
            tr("Print one JSON object per picture and line, with the fields file, width, "
               "height, capacity, bytes, message and error."));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          tr("Write exactly the message's bytes to FILE."),
                                          QStringLiteral("FILE"));
    parser.addOption(jsonOption);
    if (reveal) {
        parser.setApplicationDescription(
                tr("Prints the message each PICTURE holds, followed by a newline. With several "
                   "pictures each message follows a line \"==> PICTURE <==\"."));
        parser.addOption(outputOption);
        parser.addPositionalArgument(QStringLiteral("pictures"), tr("The pictures to read."),
                                     QStringLiteral("reveal PICTURE..."));
    } else {
        parser.setApplicationDescription(
                tr("Prints each PICTURE's size, how many bytes it can hold, and the length of "
                   "the message it holds, if any."));
        parser.addPositionalArgument(QStringLiteral("pictures"), tr("The pictures to describe."),
                                     QStringLiteral("info PICTURE..."));
    }
    int status = Success;
    if (!parse(parser, commandArguments, &status))
        return status;
    const QStringList pictures = parser.positionalArguments();
    const bool json = parser.isSet(jsonOption);
    const bool toFile = reveal && parser.isSet(outputOption);
    if (pictures.isEmpty())
        return usageError(tr("give at least one picture"));
    if (toFile && pictures.size() > 1)
        return usageError(tr("-o writes the message of one picture only"));

    for (const QString &path : pictures) {
        CarrierImage picture;
        QJsonObject result;
        int pictureStatus = inspect(picture, path, &result);
        if (json)
            writeTo(stdout, QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n');
        if (pictureStatus == NoMessage && reveal && !json)
            printError(path, tr("holds no hidden message"));
        if (pictureStatus == Success && reveal) {
            const QByteArray message = picture.getRevealedBytes();
            if (toFile)
                pictureStatus = writeMessage(parser.value(outputOption), message);
            else if (!json && pictures.size() > 1)
                writeTo(stdout, "==> " + QFile::encodeName(path) + " <==\n" + message + '\n');
            else if (!json)
                writeTo(stdout, message + '\n');
        } else if (!reveal && !json && pictureStatus != PictureError) {
            const QString holds = pictureStatus == NoMessage
                    ? tr("no message")
                    : tr("a message of %1 bytes").arg(result.value(QLatin1String("bytes")).toInt());
            writeTo(stdout,
                    tr("%1: %2x%3 pixels, holds up to %4 bytes, %5\n")
                            .arg(path)
                            .arg(result.value(QLatin1String("width")).toInt())
                            .arg(result.value(QLatin1String("height")).toInt())
                            .arg(picture.getCapacity())
                            .arg(holds)
                            .toLocal8Bit());
        }
        // A picture without a message is no failure for info.
        if (!reveal && pictureStatus == NoMessage)
            pictureStatus = Success;
        status = qMax(status, pictureStatus);
    }
    return status;
}

int CommandLine::inspect(CarrierImage &picture, const QString &path, QJsonObject *result)
{
    const QJsonValue none(QJsonValue::Null);
    *result = QJsonObject {{QStringLiteral("file"), path},   {QStringLiteral("width"), none},
                           {QStringLiteral("height"), none}, {QStringLiteral("capacity"), none},
                           {QStringLiteral("bytes"), none},  {QStringLiteral("message"), none},
                           {QStringLiteral("error"), none}};
    QString shortError;
    if (loadPicture(picture, path, &shortError) != Success) {
        result->insert(QStringLiteral("error"), shortError);
        return PictureError;
    }
    const QImage image = picture.getImage();
    result->insert(QStringLiteral("width"), image.width());
    result->insert(QStringLiteral("height"), image.height());
    result->insert(QStringLiteral("capacity"), picture.getCapacity());
    picture.setBitString(picture.extractBits());
    if (!picture.bitsToText())
        return NoMessage;
    result->insert(QStringLiteral("bytes"), picture.getRevealedBytes().size());
    result->insert(QStringLiteral("message"), picture.getRevealedText());
    return Success;
}

int CommandLine::loadPicture(CarrierImage &picture, const QString &path, QString *shortError)
{
    switch (picture.load(path)) {
    case CarrierImage::LoadResult::Loaded:
        return Success;
    case CarrierImage::LoadResult::TooLarge:
        *shortError = tr("picture too large");
        printError(path,
                   tr("the picture is larger than %1 pixels on a side; scale it down first")
                           .arg(CarrierImage::maxSide));
        break;
    case CarrierImage::LoadResult::Unreadable:
        *shortError = tr("cannot be read");
        printError(path,
                   tr("cannot be read as a picture; check that it exists and is a whole %1 file")
                           .arg(formatList()));
        break;
    case CarrierImage::LoadResult::Unsupported:
        *shortError = tr("format not read");
        printError(path,
                   tr("is in a picture format that is not read; convert it to one of %1")
                           .arg(formatList()));
        break;
    }
    return PictureError;
}

int CommandLine::writeMessage(const QString &path, const QByteArray &message)
{
    // Written beside the target and renamed over it once complete, as pictures are.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(message) == message.size() && file.flush() &&
        file.commit())
        return Success;
    printError(path,
               tr("could not be written; check that its folder exists and is writable, and "
                  "that the disk has room"));
    return OutputError;
}

bool CommandLine::parse(QCommandLineParser &parser, const QStringList &commandArguments,
                        int *status)
{
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        tr("Show this help."));
    parser.addOption(helpOption);
    if (!parser.parse(commandArguments)) {
        *status = usageError(parser.errorText());
        return false;
    }
    if (parser.isSet(helpOption)) {
        // The usage line names the program as it was started, often a whole path.
        QString help = parser.helpText();
        help.replace(0, help.indexOf(QLatin1String(" [options]")),
                     tr("Usage: %1").arg(QCoreApplication::applicationName()));
        writeTo(stdout, (help + exitStatusText()).toLocal8Bit());
        *status = Success;
        return false;
    }
    return true;
}

QString CommandLine::exitStatusText()
{
    return tr("\nExit status:\n"
              "  0  success\n"
              "  1  no hidden message (reveal: in a picture given)\n"
              "  2  usage error\n"
              "  3  a picture cannot be read or is too large\n"
              "  4  the message is invalid or too long\n"
              "  5  the output exists (without --force) or saving failed\n"
              "With several pictures, the highest status met; every picture is still tried.\n");
}

void CommandLine::printHelp()
{
    writeTo(stdout,
            (tr("Usage: %1 COMMAND [OPTIONS]\n"
                "Hides a short UTF-8 message in the lowest bits of a picture's colours, and "
                "reveals it again. Reads %2 pictures; saves PNG or BMP.\n\n"
                "Commands:\n"
                "  hide PICTURE [-m TEXT | -f FILE] [-o OUTPUT] [--force]\n"
                "                    hide a message and save the picture\n"
                "  reveal [-o FILE] [--json] PICTURE...\n"
                "                    print the message each picture holds\n"
                "  info [--json] PICTURE...\n"
                "                    print each picture's size, capacity and message length\n"
                "  help COMMAND      describe a command and its options\n\n"
                "Options:\n"
                "  -h, --help        show this help\n"
                "  -v, --version     show the version\n")
                     .arg(QCoreApplication::applicationName(), formatList()) +
             exitStatusText())
                    .toLocal8Bit());
}

int CommandLine::usageError(const QString &text)
{
    writeTo(stderr,
            (QCoreApplication::applicationName() + QStringLiteral(": ") + text + QLatin1Char('\n') +
             tr("Try '%1 --help' for more information.\n").arg(QCoreApplication::applicationName()))
                    .toLocal8Bit());
    return UsageError;
}

void CommandLine::printError(const QString &file, const QString &text)
{
    writeTo(stderr,
            (QCoreApplication::applicationName() + QStringLiteral(": ") + file +
             QStringLiteral(": ") + text + QLatin1Char('\n'))
                    .toLocal8Bit());
}

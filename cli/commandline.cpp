#include "commandline.h"

#include "carrierimage.h"
#include "filereveal.h"
#include "hidingrules.h"
#include "pictureformat.h"

#include <QChar>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QSaveFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeTo(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// An argument as the user's locale reads it, for messages.
QString shown(const QString &argument)
{
    return QFile::decodeName(argument.toLatin1());
}

bool sameFile(const struct stat &one, const struct stat &other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether an open descriptor of this process is that file.
bool isDescriptorOf(int descriptor, const struct stat &file)
{
    struct stat stream;
    return fstat(descriptor, &stream) == 0 && sameFile(stream, file);
}

// The picture as saving it to path writes it, for an output that is written into rather than
// replaced. The engine saves to files only, so it saves into a private folder first.
bool encodePicture(const CarrierImage &picture, const QString &path, QByteArray *bytes)
{
    QTemporaryDir folder;
    const QString saved = folder.filePath(QStringLiteral("picture.") + QFileInfo(path).suffix());
    QFile file(saved);
    if (!folder.isValid() || !picture.saveImage(saved) || !file.open(QIODevice::ReadOnly))
        return false;
    *bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// "a, b or c".
QString alternatives(QStringList names)
{
    const QString last = names.takeLast();
    return names.isEmpty() ? last
                           : names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// "1 byte", "2 bytes".
QString byteCount(int count)
{
    return count == 1 ? CommandLine::tr("1 byte") : CommandLine::tr("%1 bytes").arg(count);
}

// The formats read, as "PNG, BMP, … or ICO".
QString formatList()
{
    return alternatives(PictureFormats::readNames());
}

// The formats saved in, as "PNG or BMP".
QString savedFormatList()
{
    return alternatives(PictureFormats::savedNames());
}

// Their suffixes with a prefix: "NAME_encrypt.png or NAME_encrypt.bmp", ".png or .bmp".
QString savedSuffixList(const QString &prefix)
{
    QStringList names;
    for (const QString &suffix : PictureFormats::savedSuffixes())
        names << prefix + suffix;
    return alternatives(names);
}

} // namespace

CommandLine::CommandLine(const QList<QByteArray> &rawArguments)
{
    for (const QByteArray &raw : rawArguments)
        arguments << QString::fromLatin1(raw);
}

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
            return usageError(tr("no command named '%1'").arg(shown(topic)));
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
        return usageError(tr("unknown command '%1'").arg(shown(command)));
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
            tr("Hides a message in PICTURE and saves the result, by default beside it as %1, "
               "then prints the path it saved.")
                    .arg(savedSuffixList(QStringLiteral("NAME_encrypt."))));
    const QCommandLineOption messageOption({QStringLiteral("m"), QStringLiteral("message")},
                                           tr("Hide TEXT."), QStringLiteral("TEXT"));
    const QCommandLineOption fileOption(
            {QStringLiteral("f"), QStringLiteral("file")},
            tr("Hide the bytes of FILE; - is standard input, which is also read when neither "
               "-m nor -f is given."),
            QStringLiteral("FILE"));
    const QCommandLineOption outputOption(
            {QStringLiteral("o"), QStringLiteral("output")},
            tr("Save as OUTPUT, whose name ends in %1.").arg(savedSuffixList(QStringLiteral("."))),
            QStringLiteral("OUTPUT"));
    const QCommandLineOption forceOption(QStringLiteral("force"),
                                         tr("Replace the output if it exists."));
    parser.addOptions({messageOption, fileOption, outputOption, forceOption});
    parser.addPositionalArgument(QStringLiteral("PICTURE"), tr("The picture to hide it in."));
    int status = Success;
    if (!parse(parser, commandArguments, &status))
        return status;

    if (parser.positionalArguments().size() != 1)
        return usageError(tr("hide takes exactly one picture"));
    if (parser.isSet(messageOption) && parser.isSet(fileOption))
        return usageError(tr("give the message with -m or with -f, not both"));
    const bool fromTerminal =
            !parser.isSet(messageOption) && !parser.isSet(fileOption) && isatty(STDIN_FILENO);
    if (fromTerminal)
        return usageError(tr("no message: give -m TEXT or -f FILE, or pipe the message in"));
    QStringList given = parser.positionalArguments();
    const QString messageFile =
            parser.isSet(fileOption) ? parser.value(fileOption) : QStringLiteral("-");
    if (messageFile != QLatin1String("-"))
        given << messageFile;
    if (parser.isSet(outputOption))
        given << parser.value(outputOption);
    QStringList names;
    if (!takeFileNames(given, &names))
        return UsageError;
    const QString source = names.constFirst();
    QString output = parser.isSet(outputOption) ? names.constLast() : QString();
    if (!parser.isSet(outputOption)) {
        // Beside the source, with the source's folder written as the user wrote it.
        const QString fileName = QFileInfo(source).fileName();
        output = source.left(source.size() - fileName.size()) + HidingRules::outputName(fileName);
    } else if (!HidingRules::keepsLowBits(QFileInfo(output).suffix())) {
        return usageError(
                tr("%1: pictures are saved as %2 only, since other formats lose the "
                   "hidden bits; give -o a name ending in %3")
                        .arg(output, savedFormatList(), savedSuffixList(QStringLiteral("."))));
    }

    CarrierImage picture;
    QString shortError;
    // Only a PNG saved as PNG can carry its source's rows over; every other hide decodes it whole.
    const PictureFormat *saved = PictureFormats::fromSuffix(QFileInfo(output).suffix());
    status = loadPicture(picture, source,
                         saved && saved->writer == PictureFormat::Writer::OurPng
                                 ? CarrierImage::LoadDepth::Head
                                 : CarrierImage::LoadDepth::Whole,
                         &shortError);
    if (status != Success)
        return status;
    // The picture may still be checked on the other core. The errors below wait for that check,
    // and give way to the picture's own if the full load would have refused it, as it would
    // have been printed first.
    holdingErrors = true;
    status = hideLoaded(parser, picture, names, source, output);
    holdingErrors = false;
    if (status != Success) {
        const int loaded = reportLoad(picture.confirmLoad(), source, &shortError);
        if (loaded != Success) {
            heldErrors.clear();
            return loaded;
        }
    }
    writeTo(stderr, heldErrors);
    heldErrors.clear();
    return status;
}

int CommandLine::hideLoaded(const QCommandLineParser &parser, CarrierImage &picture,
                            const QStringList &names, const QString &source, const QString &output)
{
    const QString messageOption = QStringLiteral("message");
    const QString fileOption = QStringLiteral("file");
    const QString messageFile =
            parser.isSet(fileOption) ? parser.value(fileOption) : QStringLiteral("-");
    int status = Success;
    QByteArray message;
    if (parser.isSet(messageOption)) {
        message = parser.value(messageOption).toLatin1();
        status = checkMessage(tr("the text given with -m"), message, message.size(), picture);
    } else {
        status = readMessage(messageFile == QLatin1String("-") ? messageFile : names.at(1), picture,
                             &message);
    }
    if (status != Success)
        return status;

    const QFileInfo target(output);
    // A folder is never replaced, --force or not; findOutput says so.
    if (!parser.isSet(QStringLiteral("force")) && (target.exists() || target.isSymLink()) &&
        !target.isDir()) {
        printError(output,
                   tr("already exists; add --force to replace it, or choose another name "
                      "with -o"));
        return OutputError;
    }
    OutputKind kind = OutputKind::File;
    status = findOutput(output, {source}, &kind);
    if (status != Success)
        return status;
    picture.hideMessage(message, HidingRules::writesOpaque(output));
    if (kind == OutputKind::File) {
        if (!picture.saveImage(output)) {
            printError(output,
                       tr("could not be saved; check that its folder exists and is writable, "
                          "and that the disk has room"));
            return OutputError;
        }
    } else {
        QByteArray bytes;
        if (!encodePicture(picture, output, &bytes)) {
            printError(output,
                       tr("could not be encoded; check that the temporary folder is "
                          "writable and has room"));
            return OutputError;
        }
        status = writeOutput(output, kind, bytes);
        if (status != Success)
            return status;
    }
    // The path would corrupt a picture written to standard output.
    if (kind != OutputKind::StandardOutput)
        writeTo(stdout, QFile::encodeName(output) + '\n');
    return Success;
}

// Waits until the pipe or device has input, or the picture's check has ended; false if the
// picture is then refused.
bool CommandLine::awaitInput(int descriptor, CarrierImage &picture)
{
    pollfd entry {descriptor, POLLIN, 0};
    while (!picture.isLoadChecked()) {
        // Input, its end or an error: the read says which.
        if (poll(&entry, 1, 20) != 0)
            return true;
    }
    return picture.confirmLoad() == CarrierImage::LoadResult::Loaded;
}

int CommandLine::readMessage(const QString &path, CarrierImage &picture, QByteArray *message)
{
    const bool standardInput = path == QLatin1String("-");
    const QString name = standardInput ? tr("standard input") : path;
    QFile file(path);
    // A picture still being checked is judged before a message that may keep the program waiting
    // is read, as the whole load judged it before any message: opening a FIFO waits for a writer.
    // A refused picture returns here without a word; the caller reports it.
    if (!standardInput && !QFileInfo(path).isFile() &&
        picture.confirmLoad() != CarrierImage::LoadResult::Loaded)
        return MessageError;
    // Unbuffered, so that no read asks for more than is wanted and waits on a pipe for it.
    const QIODevice::OpenMode mode = QIODevice::ReadOnly | QIODevice::Unbuffered;
    bool readable = standardInput ? file.open(STDIN_FILENO, mode)
                                  : !QFileInfo(path).isDir() && file.open(mode);
    // One byte past what the picture holds tells a message that is too long, so input that never
    // ends is not read to its end.
    const int limit = picture.getCapacity() + 1;
    message->resize(limit);
    qint64 size = 0;
    while (readable && size < limit) {
        if (file.isSequential() && !awaitInput(file.handle(), picture))
            return MessageError;
        const qint64 read = file.read(message->data() + size, limit - size);
        readable = read >= 0;
        if (read <= 0)
            break;
        size += read;
    }
    if (!readable) {
        printError(name, tr("cannot be read; check that the message file exists and is readable"));
        return MessageError;
    }
    message->resize(int(size));
    // A whole file's length is known without reading it; that of a pipe only once it ended.
    if (size == limit)
        size = !file.isSequential() && file.size() >= size ? file.size() : -1;
    return checkMessage(name, *message, size, picture);
}

int CommandLine::checkMessage(const QString &name, const QByteArray &bytes, qint64 size,
                              const CarrierImage &picture)
{
    const int capacity = picture.getCapacity();
    if (capacity == 0) {
        printError(name, tr("this picture is too small to hold a message; use a larger one"));
        return MessageError;
    }
    if (size < 0) {
        printError(name,
                   tr("the message is longer than the %1 bytes this picture holds; shorten it "
                      "or use a larger picture")
                           .arg(capacity));
        return MessageError;
    }
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
        parser.addPositionalArgument(QStringLiteral("PICTURE..."), tr("The pictures to read."));
    } else {
        parser.setApplicationDescription(
                tr("Prints each PICTURE's size, how many bytes it can hold, and the length of "
                   "the message it holds, if any."));
        parser.addPositionalArgument(QStringLiteral("PICTURE..."), tr("The pictures to describe."));
    }
    int status = Success;
    if (!parse(parser, commandArguments, &status))
        return status;
    const bool json = parser.isSet(jsonOption);
    const bool toFile = reveal && parser.isSet(outputOption);
    if (parser.positionalArguments().isEmpty())
        return usageError(tr("give at least one picture"));
    if (toFile && parser.positionalArguments().size() > 1)
        return usageError(tr("-o writes the message of one picture only"));
    QStringList pictures;
    QStringList outputs;
    if (!takeFileNames(parser.positionalArguments(), &pictures) ||
        !takeFileNames(toFile ? QStringList {parser.value(outputOption)} : QStringList(), &outputs))
        return UsageError;
    // Checked before any picture is read, so that a refused output costs nothing.
    OutputKind kind = OutputKind::File;
    status = toFile ? findOutput(outputs.constFirst(), pictures, &kind) : Success;
    if (status != Success)
        return status;

    for (const QString &path : qAsConst(pictures)) {
        // Reads only the pixels that hold the message where the file allows it.
        FileReveal picture;
        QJsonObject result;
        int pictureStatus = inspect(picture, path, &result);
        if (json)
            writeTo(stdout, QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n');
        if (pictureStatus == NoMessage && reveal && !json)
            printError(path, tr("holds no hidden message"));
        if (pictureStatus == Success && reveal) {
            const QByteArray message = picture.getRevealedBytes();
            if (toFile)
                pictureStatus = writeOutput(outputs.constFirst(), kind, message);
            else if (!json && pictures.size() > 1)
                writeTo(stdout, "==> " + QFile::encodeName(path) + " <==\n" + message + '\n');
            else if (!json)
                writeTo(stdout, message + '\n');
        } else if (!reveal && !json && pictureStatus != PictureError) {
            const QString holds = pictureStatus == NoMessage
                    ? tr("no message")
                    : tr("a message of %1")
                              .arg(byteCount(result.value(QLatin1String("bytes")).toInt()));
            writeTo(stdout,
                    tr("%1: %2x%3 pixels, holds up to %4, %5\n")
                            .arg(path)
                            .arg(result.value(QLatin1String("width")).toInt())
                            .arg(result.value(QLatin1String("height")).toInt())
                            .arg(byteCount(picture.getCapacity()))
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

int CommandLine::inspect(FileReveal &picture, const QString &path, QJsonObject *result)
{
    const QJsonValue none(QJsonValue::Null);
    *result = QJsonObject {{QStringLiteral("file"), path},   {QStringLiteral("width"), none},
                           {QStringLiteral("height"), none}, {QStringLiteral("capacity"), none},
                           {QStringLiteral("bytes"), none},  {QStringLiteral("message"), none},
                           {QStringLiteral("error"), none}};
    QString shortError;
    if (reportLoad(picture.read(path), path, &shortError) != Success) {
        result->insert(QStringLiteral("error"), shortError);
        return PictureError;
    }
    result->insert(QStringLiteral("width"), picture.getWidth());
    result->insert(QStringLiteral("height"), picture.getHeight());
    result->insert(QStringLiteral("capacity"), picture.getCapacity());
    if (!picture.hasMessage())
        return NoMessage;
    result->insert(QStringLiteral("bytes"), picture.getRevealedBytes().size());
    result->insert(QStringLiteral("message"), picture.getRevealedText());
    return Success;
}

int CommandLine::loadPicture(CarrierImage &picture, const QString &path,
                             CarrierImage::LoadDepth depth, QString *shortError)
{
    return reportLoad(picture.load(path, depth), path, shortError);
}

int CommandLine::reportLoad(CarrierImage::LoadResult result, const QString &path,
                            QString *shortError)
{
    switch (result) {
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
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            printError(path, tr("does not exist; check the name"));
        else if (QFileInfo(path).isDir())
            printError(path, tr("is a folder; give a picture file"));
        else
            printError(path,
                       tr("cannot be read as a picture; check that it is a whole %1 file")
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

int CommandLine::findOutput(const QString &path, const QStringList &pictures, OutputKind *kind)
{
    *kind = OutputKind::File;
    struct stat output;
    // What does not exist yet, even as the target of a link, is created by the save.
    if (stat(QFile::encodeName(path).constData(), &output) != 0)
        return Success;
    for (const QString &picture : pictures) {
        struct stat input;
        if (stat(QFile::encodeName(picture).constData(), &input) == 0 && sameFile(input, output)) {
            printError(path, tr("is a picture being read; choose another output"));
            return OutputError;
        }
    }
    // /dev/stdout opened anew would start a redirected file over; its own stream appends. So
    // would /dev/fd/N, which is written through descriptor N.
    static const QRegularExpression descriptorPath(QStringLiteral("^/(dev|proc/self)/fd/(\\d+)$"));
    const QRegularExpressionMatch named = descriptorPath.match(path);
    const int descriptor = named.hasMatch() ? named.captured(2).toInt() : -1;
    if (descriptor > STDERR_FILENO && fcntl(descriptor, F_GETFD) != -1) {
        *kind = OutputKind::Descriptor;
        outputDescriptor = descriptor;
    } else if (isDescriptorOf(STDOUT_FILENO, output)) {
        *kind = OutputKind::StandardOutput;
    } else if (isDescriptorOf(STDERR_FILENO, output)) {
        *kind = OutputKind::StandardError;
    } else if (S_ISFIFO(output.st_mode) || S_ISCHR(output.st_mode)) {
        *kind = OutputKind::Stream;
    } else if (S_ISDIR(output.st_mode)) {
        printError(path, tr("is a folder; give a file name"));
        return OutputError;
    } else if (!S_ISREG(output.st_mode)) {
        printError(path,
                   tr("is neither a file, a FIFO nor a character device; choose another output"));
        return OutputError;
    }
    return Success;
}

int CommandLine::writeOutput(const QString &path, OutputKind kind, const QByteArray &bytes)
{
    bool written = false;
    if (kind == OutputKind::File) {
        // Written beside the target and renamed over it once complete, as pictures are.
        QSaveFile file(path);
        written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
                file.flush() && file.commit();
    } else if (kind == OutputKind::Stream) {
        // Written into, never replaced: a reader may be waiting on it, and it is no file to swap.
        QFile file(path);
        written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                file.write(bytes) == bytes.size();
    } else if (kind == OutputKind::Descriptor) {
        written = true;
        for (qint64 done = 0; written && done < bytes.size();) {
            const ssize_t count = ::write(outputDescriptor, bytes.constData() + done,
                                          size_t(bytes.size() - done));
            written = count > 0 || (count < 0 && errno == EINTR);
            done += qMax<ssize_t>(count, 0);
        }
    } else {
        FILE *stream = kind == OutputKind::StandardOutput ? stdout : stderr;
        written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) ==
                        size_t(bytes.size()) &&
                std::fflush(stream) == 0;
    }
    if (written)
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
        // In our own style: Qt's parser writes "Unknown option 'x'.".
        QString text = shown(parser.errorText());
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            text[0] = text.at(0).toLower();
        *status = usageError(text);
        return false;
    }
    if (parser.isSet(helpOption)) {
        // Qt's usage line names the program before [options]: the command's name, here.
        const QString command = commandArguments.constFirst();
        QString help = parser.helpText();
        help.replace(0, help.indexOf(QLatin1String(" [options]")),
                     tr("Usage: %1 %2").arg(QCoreApplication::applicationName(), command));
        writeTo(stdout, (help + exitStatusText(command)).toLocal8Bit());
        *status = Success;
        return false;
    }
    return true;
}

bool CommandLine::takeFileNames(const QStringList &given, QStringList *names)
{
    for (const QString &argument : given) {
        const QByteArray bytes = argument.toLatin1();
        const QString name = QFile::decodeName(bytes);
        // Qt's file functions take names as text; a name that does not come back byte for byte
        // would reach another file.
        if (QFile::encodeName(name) != bytes) {
            usageError(tr("%1: this file name cannot be used byte for byte, since it is not "
                          "valid UTF-8 or begins with a byte order mark; rename the file or "
                          "choose another name")
                               .arg(name));
            return false;
        }
        names->append(name);
    }
    return true;
}

QString CommandLine::exitStatusText(const QString &command)
{
    if (command == QLatin1String("hide"))
        return tr("\nExit status:\n"
                  "  0  the picture was saved\n"
                  "  2  usage error\n"
                  "  3  the picture cannot be read or is too large\n"
                  "  4  the message cannot be read, is invalid or is too long\n"
                  "  5  the output exists (without --force), is the picture being read, or "
                  "cannot be written\n");
    if (command == QLatin1String("reveal"))
        return tr("\nExit status:\n"
                  "  0  success\n"
                  "  1  a picture holds no hidden message\n"
                  "  2  usage error\n"
                  "  3  a picture cannot be read or is too large\n"
                  "  5  standard output or the -o output cannot be written, or -o names the "
                  "picture being read\n"
                  "With several pictures, the highest status met; every picture is still "
                  "tried.\n");
    if (command == QLatin1String("info"))
        return tr("\nExit status:\n"
                  "  0  success, whether or not a picture holds a message\n"
                  "  2  usage error\n"
                  "  3  a picture cannot be read or is too large\n"
                  "  5  standard output cannot be written\n"
                  "With several pictures, the highest status met; every picture is still "
                  "tried.\n");
    return tr("\nExit status:\n"
              "  0  success\n"
              "  1  no hidden message (reveal)\n"
              "  2  usage error\n"
              "  3  a picture cannot be read or is too large\n"
              "  4  the message cannot be read, is invalid or is too long (hide)\n"
              "  5  the output exists (hide, without --force), is a picture being read, or "
              "cannot be written\n"
              "With several pictures, the highest status met; every picture is still tried.\n");
}

void CommandLine::printHelp()
{
    writeTo(stdout,
            (tr("Usage: %1 COMMAND [options] PICTURE...\n"
                "Hides a short UTF-8 message in the lowest bits of a picture's colours, and "
                "reveals it again. Reads %2 pictures; saves %3.\n\n"
                "Commands:\n"
                "  hide [-m TEXT | -f FILE] [-o OUTPUT] [--force] PICTURE\n"
                "                    hide a message and save the picture\n"
                "  reveal [-o FILE] [--json] PICTURE...\n"
                "                    print the message each picture holds\n"
                "  info [--json] PICTURE...\n"
                "                    print each picture's size, capacity and message length\n"
                "  help COMMAND      describe a command and its options\n\n"
                "Options:\n"
                "  -h, --help        show this help\n"
                "  -v, --version     show the version\n")
                     .arg(QCoreApplication::applicationName(), formatList(), savedFormatList()) +
             exitStatusText(QString()))
                    .toLocal8Bit());
}

int CommandLine::usageError(const QString &text)
{
    printError(QString(), text);
    writeTo(stderr,
            tr("Try '%1 --help' for more information.\n")
                    .arg(QCoreApplication::applicationName())
                    .toLocal8Bit());
    return UsageError;
}

void CommandLine::printError(const QString &file, const QString &text)
{
    const QString where = file.isEmpty() ? QString() : file + QStringLiteral(": ");
    const QByteArray line = (QCoreApplication::applicationName() + QStringLiteral(": ") + where +
                             text + QLatin1Char('\n'))
                                    .toLocal8Bit();
    if (holdingErrors) {
        heldErrors += line;
        return;
    }
    // Standard output is buffered and standard error is not: what was printed for earlier
    // pictures goes first, so that a log holding both reads in the order of the pictures.
    std::fflush(stdout);
    writeTo(stderr, line);
}

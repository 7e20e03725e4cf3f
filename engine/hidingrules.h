#ifndef HIDINGRULES_H
#define HIDINGRULES_H

#include <QByteArray>
#include <QString>

// The rules that the window and the command line share, so that a picture made by either is
// named, written and read the same way.
namespace HidingRules {

enum class MessageCheck { Fits, Empty, NotUtf8, HasZeroByte, TooLong };

// Whether a picture is saved in the format the suffix names: only those whose writer keeps every
// low bit (PNG and BMP). A picture is never written in another format.
bool keepsLowBits(const QString &suffix);

// The name proposed for the picture with the hidden message, from the source's file name:
// "_encrypt" before the complete suffix, whose last part becomes png unless it names a format
// that keeps the low bits.
QString outputName(const QString &fileName);

// Whether the message's pixels are written opaque, for a format whose writer drops
// transparency (BMP); PNG keeps it.
bool writesOpaque(const QString &outputPath);

// A message's length in the unit a picture's capacity is given in: UTF-8 bytes.
int byteCount(const QString &message);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const QByteArray &bytes);

// Whether no message's bytes can start with these: they hold a zero byte, or a sequence that is
// not UTF-8 before their last three bytes, which a longer message could still complete.
bool cannotStartMessage(const QByteArray &bytes);

// Whether bytes can be hidden, as they are, in a picture that holds capacity bytes.
MessageCheck checkMessage(const QByteArray &bytes, int capacity);

} // namespace HidingRules

#endif // HIDINGRULES_H

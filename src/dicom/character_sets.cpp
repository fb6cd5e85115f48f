// Character sets: text leaves the program in the set it fits (Latin-1, else
// UTF-8) and worklist answers arrive decoded by their own declared set.

#include "dicom/dcmtk_internal.h"

#include <QStringDecoder>

namespace skiascan::dicom {

namespace {

enum class TextRange { Ascii, Latin1, Beyond };

// The widest character range used by the text of `item`, read as UTF-8.
TextRange textRange(DcmItem& item)
{
    TextRange range = TextRange::Ascii;
    DcmStack stack;
    while (item.nextObject(stack, OFTrue).good()) {
        auto* object = stack.top();
        if (!object->isLeaf() || !object->isAffectedBySpecificCharacterSet())
            continue;
        OFString value;
        if (static_cast<DcmElement*>(object)->getOFStringArray(value).bad())
            continue;
        for (unsigned char c : value) {
            if (c >= 0x80) {
                range = TextRange::Latin1;
                break;
            }
        }
        if (range == TextRange::Ascii)
            continue;
        const QString text = QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length()));
        for (QChar c : text)
            if (c.unicode() > 0xFF)
                return TextRange::Beyond;
    }
    return range;
}

} // namespace

void applyCharacterSet(DcmItem& item, bool onlyIfNeeded)
{
    const TextRange range = textRange(item);
    if (onlyIfNeeded && range == TextRange::Ascii)
        return;
    if (range == TextRange::Beyond)
        check(item.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192"), QStringLiteral("Cannot set the character set"));
    else
        check(item.convertCharacterSet("ISO_IR 192", "ISO_IR 100", 0, OFTrue),
              QStringLiteral("Cannot convert the text to Latin-1"));
}

namespace {

bool isValidUtf8(const OFString& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(QByteArrayView(bytes.c_str(), static_cast<qsizetype>(bytes.length())));
    return !decoder.hasError();
}

// Converts one answer to UTF-8, the form all text has inside the program.
void decodeAnswer(DcmItem& answer)
{
    OFString declared;
    answer.findAndGetOFStringArray(DCM_SpecificCharacterSet, declared);
    OFString source = declared;
    if (source.empty()) {
        // Servers that leave the character set out still send names with
        // accents: take what reads as UTF-8 as UTF-8, anything else as Latin-1.
        bool ascii = true;
        bool utf8 = true;
        DcmStack stack;
        while (answer.nextObject(stack, OFTrue).good()) {
            auto* object = stack.top();
            if (!object->isLeaf() || !object->isAffectedBySpecificCharacterSet())
                continue;
            OFString value;
            if (static_cast<DcmElement*>(object)->getOFStringArray(value).bad())
                continue;
            for (unsigned char c : value)
                ascii = ascii && c < 0x80;
            utf8 = utf8 && isValidUtf8(value);
        }
        if (ascii)
            return;
        source = utf8 ? "ISO_IR 192" : "ISO_IR 100";
    }
    if (source == "ISO_IR 192")
        return;
    // A set DCMTK cannot convert leaves the text as it came.
    answer.convertCharacterSet(source, "ISO_IR 192", 0, OFTrue);
}

} // namespace

DataSet answerDataSet(const DcmItem& answer)
{
    // A worklist entry is a few kilobytes; anything near this size is a server
    // gone wrong, and copying it would only double the memory it already took.
    constexpr Uint32 kLargestAnswer = 1024 * 1024;
    const Uint32 length = const_cast<DcmItem&>(answer).getLength(EXS_LittleEndianExplicit);
    if (length > kLargestAnswer)
        throw Failure(QStringLiteral("The worklist server sent an answer of %1 bytes, far more than a worklist "
                                        "entry holds.")
                             .arg(length));
    DataSet result;
    result.impl().item = std::make_unique<DcmItem>(answer);
    decodeAnswer(*result.impl().item);
    return result;
}

} // namespace skiascan::dicom

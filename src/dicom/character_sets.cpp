// Character sets: text leaves the program in the set it fits (Latin-1, else
// UTF-8) and worklist answers arrive decoded by their own declared set.

#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmdata/dcspchrs.h>

#include <QStringDecoder>

namespace skiascan::dicom {

namespace {

enum class TextRange { Ascii, Latin1, Beyond };

// The widest character range used by the text of `item`, read as UTF-8.
bool isAscii(const OFString& bytes)
{
    for (unsigned char c : bytes)
        if (c >= 0x80)
            return false;
    return true;
}

// Every text value, whatever its value representation: code strings such as
// Body Part Examined are text the operator typed too.
bool isText(DcmObject& object)
{
    return object.isLeaf() && DcmVR(object.getVR()).isaString();
}

TextRange textRange(DcmItem& item)
{
    TextRange range = TextRange::Ascii;
    DcmStack stack;
    while (item.nextObject(stack, OFTrue).good()) {
        auto* object = stack.top();
        if (!isText(*object))
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
    if (range == TextRange::Beyond) {
        check(item.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192"), QStringLiteral("Cannot set the character set"));
        return;
    }
    check(item.convertCharacterSet("ISO_IR 192", "ISO_IR 100", 0, OFTrue),
          QStringLiteral("Cannot convert the text to Latin-1"));
    // DCMTK converts only the value representations that Specific Character
    // Set governs; the others (code strings) are converted here, so that every
    // text of the object is in the set it declares.
    DcmStack stack;
    while (item.nextObject(stack, OFTrue).good()) {
        DcmObject* object = stack.top();
        if (!isText(*object) || object->isAffectedBySpecificCharacterSet())
            continue;
        auto* element = static_cast<DcmElement*>(object);
        OFString value;
        if (element->getOFStringArray(value).bad() || isAscii(value))
            continue;
        const QByteArray latin1 = QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length())).toLatin1();
        check(element->putString(latin1.constData(), static_cast<Uint32>(latin1.size())),
              QStringLiteral("Cannot convert the text to Latin-1"));
    }
}

namespace {

bool isValidUtf8(const OFString& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(QByteArrayView(bytes.c_str(), static_cast<qsizetype>(bytes.length())));
    return !decoder.hasError();
}

// The text elements of an answer, nested ones included.
template <typename Visit>
void forEachText(DcmItem& answer, Visit visit)
{
    DcmStack stack;
    while (answer.nextObject(stack, OFTrue).good()) {
        auto* object = stack.top();
        if (object->isLeaf() && object->isAffectedBySpecificCharacterSet())
            visit(*static_cast<DcmElement*>(object));
    }
}

} // namespace

void decodeAnswer(DcmItem& answer, std::vector<DcmTagKey>& undecodable)
{
    OFString declared;
    answer.findAndGetOFStringArray(DCM_SpecificCharacterSet, declared);
    OFString source = declared;
    if (source.empty()) {
        // Servers that leave the character set out still send names with
        // accents: take what reads as UTF-8 as UTF-8, anything else as Latin-1.
        bool ascii = true;
        bool utf8 = true;
        forEachText(answer, [&](DcmElement& element) {
            OFString value;
            if (element.getOFStringArray(value).good()) {
                ascii = ascii && isAscii(value);
                utf8 = utf8 && isValidUtf8(value);
            }
        });
        if (ascii)
            return;
        source = utf8 ? "ISO_IR 192" : "ISO_IR 100";
    }
    // Each text on its own, so that one that cannot be decoded is named (and
    // emptied) rather than carried on as garbled letters.
    DcmSpecificCharacterSet converter;
    const bool convert = source != "ISO_IR 192";
    if (convert && converter.selectCharacterSet(source, "ISO_IR 192").bad()) {
        forEachText(answer, [&](DcmElement& element) {
            OFString value;
            if (element.getOFStringArray(value).good() && !isAscii(value)) {
                undecodable.push_back(element.getTag().getXTag());
                element.putString("");
            }
        });
    } else {
        forEachText(answer, [&](DcmElement& element) {
            OFString value;
            if (element.getOFStringArray(value).bad() || isAscii(value))
                return;
            const bool decoded = convert ? element.convertCharacterSet(converter).good() : isValidUtf8(value);
            if (!decoded) {
                undecodable.push_back(element.getTag().getXTag());
                element.putString("");
            }
        });
    }
    answer.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
}

DataSet answerDataSet(const DcmItem& answer)
{
    DataSet result;
    result.impl().item = std::make_unique<DcmItem>(answer);
    decodeAnswer(*result.impl().item, result.impl().undecodable);
    return result;
}

} // namespace skiascan::dicom

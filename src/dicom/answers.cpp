// Worklist answers as they arrive: parsed from their bytes without trusting
// the lengths they claim, cut down to the attributes asked for, decoded.

#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmdata/dcistrmb.h>

namespace skiascan::dicom {

namespace {

// DCMTK reserves the memory an element claims before it reads its value,
// unless the value is longer than the read's limit and the stream can hand
// out a factory to load it later: then it skips the value instead, and a
// value longer than the bytes there are ends the read. This stream offers
// such a factory, so that no claim beyond the answer's own bytes makes DCMTK
// reserve anything. The factory itself is never used: an answer with a value
// left unloaded is refused.
class UnloadedValue : public DcmInputStreamFactory {
public:
    DcmInputStream* create() const override
    {
        auto* nothing = new DcmInputBufferStream;
        nothing->setEos();
        return nothing;
    }
    DcmInputStreamFactory* clone() const override { return new UnloadedValue; }
    DcmInputStreamFactoryType ident() const override { return DFT_DcmInputFileStreamFactory; }
};

class AnswerStream : public DcmInputBufferStream {
public:
    DcmInputStreamFactory* newFactory() const override { return new UnloadedValue; }
};

bool allValuesLoaded(DcmItem& item)
{
    DcmStack stack;
    while (item.nextObject(stack, OFTrue).good()) {
        DcmObject* object = stack.top();
        if (object->isLeaf() && !static_cast<DcmElement*>(object)->valueLoaded())
            return false;
    }
    return true;
}

// Removes what was not asked for: a C-FIND answer holds the keys of the
// request and nothing more, and whatever else a server sends would only take
// memory (thousands of empty elements cost far more than their bytes).
void keepRequested(DcmItem& answer, const DcmItem& request)
{
    for (unsigned long i = answer.card(); i-- > 0;) {
        DcmElement* element = answer.getElement(i);
        DcmElement* asked = nullptr;
        if (const_cast<DcmItem&>(request).findAndGetElement(element->getTag().getXTag(), asked, OFFalse).bad()) {
            delete answer.remove(element);
            continue;
        }
        if (element->ident() != EVR_SQ || asked->ident() != EVR_SQ)
            continue;
        auto* sequence = static_cast<DcmSequenceOfItems*>(element);
        DcmItem* shape = static_cast<DcmSequenceOfItems*>(asked)->getItem(0);
        for (unsigned long j = 0; j < sequence->card(); ++j)
            if (shape)
                keepRequested(*sequence->getItem(j), *shape);
    }
}

} // namespace

DataSet parseAnswer(const unsigned char* data, std::size_t size, E_TransferSyntax transferSyntax,
                    const DcmItem& request)
{
    DcmDataset answer;
    if (size > 0) {
        AnswerStream stream;
        stream.setBuffer(data, static_cast<offile_off_t>(size));
        stream.setEos();
        answer.transferInit();
        // Values up to the answer's own size are read as they come; a longer
        // one cannot be there.
        const OFCondition read = answer.read(stream, transferSyntax, EGL_noChange, static_cast<Uint32>(size));
        answer.transferEnd();
        stream.releaseBuffer();
        // Whatever the stream still waits for is beyond the bytes there are.
        const bool cutShort = read == EC_StreamNotifyClient || read == EC_InvalidStream
                              || read == EC_ElemLengthLargerThanItem || (read.good() && !allValuesLoaded(answer));
        if (cutShort || read.bad())
            throw Failure(QStringLiteral("the server sent an answer that cannot be read: %1")
                              .arg(cutShort ? QStringLiteral("it claims more bytes than it holds") : conditionText(read)),
                          Failure::Kind::Limit);
    }
    keepRequested(answer, request);
    return answerDataSet(answer);
}

} // namespace skiascan::dicom

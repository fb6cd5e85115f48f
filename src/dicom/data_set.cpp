// Data sets and their attributes: text in, DICOM values out, and back.

#include "dicom/dcmtk_internal.h"

#include "common/dates.h"

#include <dcmtk/dcmdata/dcvrda.h>

#include <QLocale>
#include <QRegularExpression>

namespace skiascan::dicom {

namespace {

// A date or time that is already in DICOM form, or a DICOM range of such values
// (as a query key such as "20050305-20050305" or "000000-235959").
bool isDicomDateOrRange(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{8})?(-(\\d{8})?)?$"));
    return form.match(text).hasMatch();
}

bool isDicomTimeOrRange(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{2,6}(\\.\\d{1,6})?)?(-(\\d{2,6}(\\.\\d{1,6})?)?)?$"));
    return form.match(text).hasMatch();
}

} // namespace

void putText(DcmItem& item, const DcmTagKey& key, const QString& text)
{
    ensureToolkitReady();
    DcmTag tag(key); // getTagName() is not const
    const DcmEVR vr = tag.getEVR();
    if (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B)
        throw Failure(QStringLiteral("The attribute %1 is not in the DICOM data dictionary.").arg(tagText(key)));
    if (vr == EVR_SQ)
        throw Failure(QStringLiteral("The attribute %1 is a sequence, not a text.").arg(tagText(key)));
    QString value = text;
    if (vr == EVR_DA && !isDicomDateOrRange(text)) {
        const auto date = parseDate(text, QLocale());
        if (!date)
            throw Failure(QStringLiteral("\"%1\" is not a date (%2).").arg(text, QString::fromLatin1(tag.getTagName())));
        value = date->toString(QStringLiteral("yyyyMMdd"));
    } else if (vr == EVR_TM && !isDicomTimeOrRange(text)) {
        const auto time = parseTime(text, QLocale());
        if (!time)
            throw Failure(QStringLiteral("\"%1\" is not a time (%2).").arg(text, QString::fromLatin1(tag.getTagName())));
        value = time->toString(QStringLiteral("HHmmss"));
    }
    check(item.putAndInsertString(tag, value.toUtf8().constData()),
          QStringLiteral("Cannot set %1 %2").arg(QString::fromLatin1(tag.getTagName()), tagText(key)));
}

void putDate(DcmItem& item, const DcmTagKey& key, const QDate& date)
{
    putText(item, key, date.isValid() ? date.toString(QStringLiteral("yyyyMMdd")) : QString());
}

void putSequence(DcmItem& item, const DcmTagKey& key, const DataSetCollection& items)
{
    ensureToolkitReady();
    auto sequence = std::make_unique<DcmSequenceOfItems>(DcmTag(key));
    if (DcmTag(key).getEVR() != EVR_SQ)
        throw Failure(QStringLiteral("The attribute %1 is not a sequence.").arg(tagText(key)));
    for (int i = 1; i <= items.count(); ++i) {
        auto copy = std::make_unique<DcmItem>(*items.item(i).impl().item);
        check(sequence->append(copy.get()), QStringLiteral("Cannot fill the sequence %1").arg(tagText(key)));
        copy.release(); // the sequence owns it now
    }
    check(item.insert(sequence.get(), true), QStringLiteral("Cannot add the sequence %1").arg(tagText(key)));
    sequence.release();
}

std::optional<QString> getText(DcmItem& item, const DcmTagKey& key)
{
    DcmElement* element = nullptr;
    if (item.findAndGetElement(key, element).bad() || !element)
        return std::nullopt;
    if (element->getLength() == 0)
        return QString();
    OFString value;
    if (element->getOFStringArray(value).bad())
        return std::nullopt;
    return QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length()));
}

DataSet::DataSet()
    : m_impl(std::make_unique<Impl>())
{
    m_impl->item = std::make_unique<DcmItem>();
}

DataSet::~DataSet() = default;
DataSet::DataSet(DataSet&&) noexcept = default;
DataSet& DataSet::operator=(DataSet&&) noexcept = default;

DataSet::DataSet(const DataSet& other)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->item = std::make_unique<DcmItem>(*other.m_impl->item);
    m_impl->undecodable = other.m_impl->undecodable;
}

DataSet& DataSet::operator=(const DataSet& other)
{
    if (this != &other) {
        m_impl->item = std::make_unique<DcmItem>(*other.m_impl->item);
        m_impl->undecodable = other.m_impl->undecodable;
    }
    return *this;
}

void DataSet::addAttribute(quint16 group, quint16 element, const QString& text)
{
    putText(*m_impl->item, DcmTagKey(group, element), text);
}

void DataSet::addAttribute(quint16 group, quint16 element, const QDate& date)
{
    putDate(*m_impl->item, DcmTagKey(group, element), date);
}

void DataSet::addAttribute(quint16 group, quint16 element, const DataSetCollection& items)
{
    putSequence(*m_impl->item, DcmTagKey(group, element), items);
}

std::optional<QString> DataSet::text(quint16 group, quint16 element) const
{
    return getText(*m_impl->item, DcmTagKey(group, element));
}

std::optional<DataSetCollection> DataSet::sequence(quint16 group, quint16 element) const
{
    DcmSequenceOfItems* sequence = nullptr;
    if (m_impl->item->findAndGetSequence(DcmTagKey(group, element), sequence).bad() || !sequence)
        return std::nullopt;
    DataSetCollection items;
    for (unsigned long i = 0; i < sequence->card(); ++i)
        items.addNewItem().impl().item = std::make_unique<DcmItem>(*sequence->getItem(i));
    return items;
}

std::vector<std::pair<quint16, quint16>> DataSet::undecodable() const
{
    std::vector<std::pair<quint16, quint16>> tags;
    for (const DcmTagKey& key : m_impl->undecodable)
        tags.emplace_back(key.getGroup(), key.getElement());
    return tags;
}

QString DataSet::patientName() const
{
    return text(0x0010, 0x0010).value_or(QString());
}

QString DataSet::patientId() const
{
    return text(0x0010, 0x0020).value_or(QString());
}

QString DataSet::patientSex() const
{
    return text(0x0010, 0x0040).value_or(QString());
}

std::optional<QDate> DataSet::birthDate() const
{
    const auto value = text(0x0010, 0x0030);
    if (!value || value->trimmed().isEmpty())
        return std::nullopt;
    const QDate date = QDate::fromString(value->trimmed(), QStringLiteral("yyyyMMdd"));
    if (!date.isValid())
        return std::nullopt;
    return date;
}

const DataSet& DataSetCollection::item(int index) const
{
    if (index < 1 || index > count())
        throw Failure(QStringLiteral("There is no data set number %1 (the collection holds %2).").arg(index).arg(count()));
    return m_items[static_cast<std::size_t>(index - 1)];
}

DataSet& DataSetCollection::item(int index)
{
    return const_cast<DataSet&>(std::as_const(*this).item(index));
}

DataSet& DataSetCollection::addNewItem()
{
    return m_items.emplace_back();
}

} // namespace skiascan::dicom

// DICOM data sets and collections of them, as the worklist query builds its
// identifier and reads its answers. Text goes in and comes out as QString; dates
// and times are converted to DICOM form by the attribute's value representation.
#pragma once

#include <QDate>
#include <QString>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace skiascan::dicom {

class DataSetCollection;

/// A DICOM data set: a list of attributes, addressed by group and element.
class DataSet {
public:
    DataSet();
    ~DataSet();
    DataSet(const DataSet& other);
    DataSet& operator=(const DataSet& other);
    DataSet(DataSet&&) noexcept;
    DataSet& operator=(DataSet&&) noexcept;

    /// Adds (or replaces) an attribute with a text value. Dates and times are
    /// converted to DICOM form by the attribute's value representation; an empty
    /// text gives an empty attribute. Throws Failure for an unknown tag or a
    /// text that the value representation cannot take (a date that is no date).
    void addAttribute(quint16 group, quint16 element, const QString& text);
    /// Adds a date attribute from a date value.
    void addAttribute(quint16 group, quint16 element, const QDate& date);
    /// Adds a sequence attribute holding copies of the collection's data sets.
    void addAttribute(quint16 group, quint16 element, const DataSetCollection& items);

    /// The attribute's value as text (multiple values joined by "\"), empty text
    /// for an empty attribute, std::nullopt when the attribute is absent.
    std::optional<QString> text(quint16 group, quint16 element) const;
    /// The items of a sequence attribute; std::nullopt when absent or no sequence.
    std::optional<DataSetCollection> sequence(quint16 group, quint16 element) const;

    /// The text attributes (group, element) that could not be decoded in the
    /// data set's character set; they read as empty text.
    std::vector<std::pair<quint16, quint16>> undecodable() const;

    /// Patient's Name, Patient ID and Patient's Sex; empty text when absent.
    QString patientName() const;
    QString patientId() const;
    QString patientSex() const;
    /// Patient's Birth Date; std::nullopt when absent, empty or not a date.
    std::optional<QDate> birthDate() const;

    struct Impl;
    Impl& impl() const { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

/// An ordered collection of data sets, counted and indexed from 1.
class DataSetCollection {
public:
    int count() const { return static_cast<int>(m_items.size()); }
    /// The data set at place `index` (1 to count()). Throws Failure otherwise.
    const DataSet& item(int index) const;
    DataSet& item(int index);
    /// Appends a new empty data set and returns it.
    DataSet& addNewItem();

private:
    std::vector<DataSet> m_items;
};

} // namespace skiascan::dicom

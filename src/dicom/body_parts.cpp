#include "dicom/body_parts.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace skiascan::dicom {

namespace {

// The Body Part Examined defined terms whose structure has no left and right
// (DICOM PS3.16 Annex L, Table L-1, Laterality "U"), sorted for the search.
// Laterality (0020,0060) must be absent for these; any other body part may be
// a paired one, so the image carries Laterality, empty when unknown.
constexpr std::string_view kUnpaired[] = {
    "ABDOMEN",      "ABDOMENPELVIS",   "AORTA",          "BACK",          "BLADDER",
    "BRAIN",        "CEREBELLUM",      "CERVIX",         "CHEST",         "CHESTABDOMEN",
    "CHESTABDPELVIS", "CIRCLEOFWILLIS", "COCCYX",        "COLON",         "CORONARYARTERY",
    "CSPINE",       "CTSPINE",         "DUODENUM",       "ESOPHAGUS",     "FACE",
    "GALLBLADDER",  "HEAD",            "HEADNECK",       "HEART",         "ILEUM",
    "ILIUM",        "JAW",             "JEJUNUM",        "LARYNX",        "LIVER",
    "LSPINE",       "LSSPINE",         "MAXILLA",        "MEDIASTINUM",   "MOUTH",
    "NECK",         "NECKCHEST",       "NECKCHESTABDOMEN", "NECKCHESTABDPELV", "NOSE",
    "PANCREAS",     "PELVIS",          "PENIS",          "PHARYNX",       "PROSTATE",
    "RECTUM",       "SCALP",           "SKULL",          "SPINE",         "SPLEEN",
    "SSPINE",       "STERNUM",         "STOMACH",        "THYMUS",        "THYROID",
    "TLSPINE",      "TONGUE",          "TRACHEA",        "TSPINE",        "URETER",
    "URETHRA",      "UTERUS",          "VAGINA",         "VULVA",         "WHOLEBODY",
};

} // namespace

bool isUnpairedBodyPart(const QString& bodyPart)
{
    static_assert(std::is_sorted(std::begin(kUnpaired), std::end(kUnpaired)));
    // A code string is compared as it is: a term in other letters ("Chest") is
    // a text of the operator's, and a reader cannot tell its laterality.
    const QByteArray term = bodyPart.trimmed().toLatin1();
    return std::binary_search(std::begin(kUnpaired), std::end(kUnpaired),
                              std::string_view(term.constData(), static_cast<std::size_t>(term.size())));
}

} // namespace skiascan::dicom

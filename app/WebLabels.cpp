#include "WebLabels.h"

#include <string>

namespace {

// PAPPL's strings format: "attribute" for an attribute's label, "attribute.value" for
// a value's. PAPPL keeps the first text of a key, so these cannot change its own.
constexpr char LABELS[] =
    "\"feed-orientation\" = \"Feed Orientation\";\n"
    "\"feed-orientation.short-edge-first\" = \"Short Edge First\";\n"
    "\"feed-orientation.long-edge-first\" = \"Long Edge First\";\n"
    "\"media-type.stationery-recycled\" = \"Recycled paper\";\n"
    "\"media.om_16k_184x260mm\" = \"16K\";\n"
    "\"media.om_bank1_102x196mm\" = \"Bank Envelope 102x196mm\";\n"
    "\"media.om_bank2_120x230mm\" = \"Bank Envelope 120x230mm\";\n";

// The languages PAPPL's pages come in. Until the labels are translated, a page in
// another language than English shows them in English rather than as keywords.
constexpr const char *LANGUAGES[] = {"en", "de", "es", "fr", "it", "ja", "nb-NO", "pl", "tr"};

}  // namespace

void AddWebLabels(pappl_system_t *system) {
  for (const char *language : LANGUAGES) {
    const std::string path = std::string("/quenmark-") + language + ".strings";
    papplSystemAddStringsData(system, path.c_str(), language, LABELS);
    // The labels stay in the language's strings; the file itself goes. PAPPL 1.3 adds
    // printer-strings-languages-supported to the printer's own attributes on every
    // Get-Printer-Attributes while a strings file is there, so the printer would answer
    // with the attribute again and again, and ever more of it.
    papplSystemRemoveResource(system, path.c_str());
  }
}

// The settings dialog's two pages as data: what the check boxes and rows start with, when a
// change enables Apply, and what Apply writes. The property sheet (app/win32/settings_sheet.*)
// only moves these values to and from its controls.
#pragma once

#include "app/associations.h"
#include "app/interfaces.h"
#include "app/language.h"
#include "app/settings.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vostrale::app {

constexpr uint32_t kConfigAssociationOption = 0x40; // shown on the associations page
constexpr uint32_t kConfigGeneralOption = 0x100;    // shown on the general page

// Control identifiers.
constexpr int kIdLanguageList = 50;   // general page
constexpr int kIdRunAtLogon = 4;      // general page
constexpr int kIdRemount = 5;         // general page
constexpr int kIdGeneralOption = 6;   // general page
constexpr int kIdAssociationOption = 3; // associations page
constexpr int kIdExtensionList = 50;  // associations page
constexpr int kIdCheckAll = 5;        // associations page (link)

// Language sections of the two pages.
constexpr uint16_t kDialogSettingsGeneral = 103;
constexpr uint16_t kDialogSettingsAssociations = 104;

struct GeneralPage {
    bool runAtLogon = false;
    bool remount = false;
    bool generalOption = false;
};

// Starting states: the Run value checked (and refreshed) against this program file, and the
// Config bits.
GeneralPage LoadGeneralPage(Registry* registry, System* system, const Settings& settings);
// Writes the Run value and the two Config bits.
void ApplyGeneralPage(Registry* registry, System* system, Settings* settings,
                      const GeneralPage& page);

struct AssociationRow {
    std::wstring extension;
    bool checked = false;
    bool startChecked = false;
};

struct AssociationPage {
    bool option = false;
    std::vector<AssociationRow> rows;
};

// One row per offered extension; `opensWithUs` says whether the shell really opens it with
// this program.
AssociationPage LoadAssociationPage(const Settings& settings,
                                    const std::function<bool(const std::wstring&)>& opensWithUs);
// The rows whose check state differs from their starting state.
std::vector<AssociationChange> PendingChanges(const AssociationPage& page);
// Saves the Config bit and returns the changes for the one-shot.
std::vector<AssociationChange> ApplyAssociationPage(Registry* registry, Settings* settings,
                                                    const AssociationPage& page);
// After the one-shot: the current states become the starting states, so a second PSN_APPLY
// (Apply, then OK) finds nothing to do.
void MarkApplied(AssociationPage* page);

// List view item states: the check box is the state image (1 unchecked, 2 checked).
constexpr uint32_t kStateImageMask = 0xF000;
bool StateImageChanged(uint32_t oldState, uint32_t newState);
bool StateImageChecked(uint32_t state);

// A list row change counts only when its check box changed, and never while the list is
// being filled.
bool RowChangeCounts(bool filling, uint32_t changedMask, uint32_t oldState, uint32_t newState);

// The language choice: previewed at once, stored on Apply or OK, restored on Cancel.
class LanguagePreview {
  public:
    // The stored code ("Language", at most 4 characters) at opening.
    void Begin(Registry* registry);
    // Loads the chosen code's file without storing it.
    void Preview(LanguageTable* table, const std::wstring& code);
    // Stores the shown code (if one was chosen) and makes it the one Cancel returns to.
    void Commit(LanguageTable* table, Registry* registry);
    // Back to the stored code's texts (built-in ones when none or its file is missing).
    void Revert(LanguageTable* table);
    bool Pending() const { return m_pending; }
    const std::wstring& Stored() const { return m_stored; }

  private:
    std::wstring m_stored;
    std::wstring m_shown;
    bool m_pending = false;
};

} // namespace vostrale::app

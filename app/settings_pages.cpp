#include "app/settings_pages.h"

#include "app/text.h"

namespace vostrale::app {

namespace {

constexpr uint32_t kLvifState = 0x0008;
constexpr size_t kLanguageCodeChars = 4; // 8 bytes with the terminator

void SetBit(uint32_t* word, uint32_t bit, bool on) {
    *word = on ? (*word | bit) : (*word & ~bit);
}

void LoadLanguageCode(LanguageTable* table, const std::wstring& code) {
    if (!IsLanguageCode(code) ||
        !table->Load(ToPath(LanguageFileName(table->Folder(), table->Prefix(), code))))
        table->Unload();
}

} // namespace

GeneralPage LoadGeneralPage(Registry* registry, System* system, const Settings& settings) {
    GeneralPage page;
    page.runAtLogon = RefreshRunAtLogon(registry, system);
    page.remount = (settings.config & kConfigRemount) != 0;
    page.generalOption = (settings.config & kConfigGeneralOption) != 0;
    return page;
}

void ApplyGeneralPage(Registry* registry, System* system, Settings* settings,
                      const GeneralPage& page) {
    SetRunAtLogon(registry, system, page.runAtLogon);
    SetBit(&settings->config, kConfigRemount, page.remount);
    SetBit(&settings->config, kConfigGeneralOption, page.generalOption);
    SaveConfig(registry, *settings);
}

AssociationPage LoadAssociationPage(const Settings& settings,
                                    const std::function<bool(const std::wstring&)>& opensWithUs) {
    AssociationPage page;
    page.option = (settings.config & kConfigAssociationOption) != 0;
    for (const std::wstring& ext : OfferedExtensions()) {
        AssociationRow row;
        row.extension = ext;
        row.checked = row.startChecked = opensWithUs(ext);
        page.rows.push_back(row);
    }
    return page;
}

std::vector<AssociationChange> PendingChanges(const AssociationPage& page) {
    std::vector<AssociationChange> changes;
    for (const AssociationRow& row : page.rows) {
        if (row.checked != row.startChecked)
            changes.push_back({row.extension, row.checked});
    }
    return changes;
}

std::vector<AssociationChange> ApplyAssociationPage(Registry* registry, Settings* settings,
                                                    const AssociationPage& page) {
    SetBit(&settings->config, kConfigAssociationOption, page.option);
    SaveConfig(registry, *settings);
    return PendingChanges(page);
}

void MarkApplied(AssociationPage* page) {
    for (AssociationRow& row : page->rows)
        row.startChecked = row.checked;
}

bool StateImageChanged(uint32_t oldState, uint32_t newState) {
    return ((oldState ^ newState) & kStateImageMask) != 0;
}

bool StateImageChecked(uint32_t state) {
    return ((state & kStateImageMask) >> 12) == 2;
}

bool RowChangeCounts(bool filling, uint32_t changedMask, uint32_t oldState, uint32_t newState) {
    return !filling && (changedMask & kLvifState) != 0 && StateImageChanged(oldState, newState);
}

void LanguagePreview::Begin(Registry* registry) {
    m_stored.clear();
    ReadStringValue(registry, RegistryRoot::CurrentUser, kSettingsKey, kLanguageValue,
                    kLanguageCodeChars, &m_stored);
    m_shown = m_stored;
    m_pending = false;
}

void LanguagePreview::Preview(LanguageTable* table, const std::wstring& code) {
    if (!IsLanguageCode(code))
        return;
    m_shown = code;
    m_pending = !EqualNoCase(m_shown, m_stored);
    LoadLanguageCode(table, code);
}

void LanguagePreview::Commit(LanguageTable* table, Registry* registry) {
    if (!m_pending)
        return;
    table->Choose(registry, m_shown);
    m_stored = m_shown;
    m_pending = false;
}

void LanguagePreview::Revert(LanguageTable* table) {
    if (!EqualNoCase(m_shown, m_stored))
        LoadLanguageCode(table, m_stored);
    m_shown = m_stored;
    m_pending = false;
}

} // namespace vostrale::app

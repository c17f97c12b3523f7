#include "viewmodel/UIStringVal.h"

const std::array<UIStringVal::Field, UIStringKey::count>& UIStringVal::fields()
{
#define MT_UI_STRING_MEMBER(field, text) &UIStringVal::field,
    static constexpr std::array<Field, UIStringKey::count> members = {MT_UI_STRINGS(MT_UI_STRING_MEMBER)};
#undef MT_UI_STRING_MEMBER
    return members;
}

void UIStringVal::update(std::string_view lang, const StringTables& tables)
{
    const auto& members = fields();
    for (std::size_t i = 0; i < UIStringKey::count; ++i)
        this->*members[i] = tables.localizedString(lang, UIStringKey::all[i].text);
}

#include "ui/model/list_editing.h"

#include "app/settings.h"
#include "app/user_interface.h"

namespace qm {

std::string DeleteOneAddressQuestion(std::string_view shown) {
  return std::string(shown) + " を削除します。よろしいですか？";
}

std::string DeleteAddressesQuestion(int count) {
  return std::to_string(count) + " 個のメールアドレスを削除します。よろしいですか？";
}

CListEditing::CListEditing(CSenderLists& senderLists, CSettings& settingsFile, IUserInterface& seam)
    : lists(senderLists), settings(settingsFile), ui(seam) {}

bool CListEditing::Show(SenderList which) {
  if (which == shown) return false;
  shown = which;
  return true;
}

bool CListEditing::Add(std::string_view typed) { return lists.AddTo(shown, typed); }

CListEditing::Deleted CListEditing::Delete(const std::vector<std::string>& chosen,
                                           std::string_view firstShown) {
  if (chosen.empty()) {
    ui.ShowMessage(kSelectAddressFirstText);
    return Deleted::None;
  }
  const std::string question = chosen.size() == 1
                                   ? DeleteOneAddressQuestion(firstShown)
                                   : DeleteAddressesQuestion(static_cast<int>(chosen.size()));
  if (ui.Ask(question, Buttons::OkCancel, Answer::Ok) != Answer::Ok) return Deleted::None;
  for (const std::string& address : chosen) lists.RemoveFrom(shown, address);
  return chosen.size() == 1 ? Deleted::One : Deleted::Several;
}

bool CListEditing::Store(bool emptyAddressIsBad) {
  if (!settings.Set(settings::AddEmptyAddrToBadlist, emptyAddressIsBad ? 1 : 0)) {
    ui.ShowMessage(kListSettingsNotSavedText);
    return false;
  }
  lists.SetAddEmptyAddrToBadlist(emptyAddressIsBad);
  return true;
}

}  // namespace qm

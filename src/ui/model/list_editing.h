// The friend/bad list editor without its widgets: which list it shows, what its buttons do to the
// lists, when they can be pressed, and storing the switch that makes an empty sender address count
// as bad.
//
// Additions and deletions go to the lists at once and mark them changed; the program's idle step
// writes the files. Only OK stores the switch; closing the window otherwise leaves it as it was.
//
// User-interface thread only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "classify/sender_lists.h"

namespace qm {

class CSettings;
class IUserInterface;

inline constexpr const char* kListEditorTitle = "フレンド／バッドリスト設定";
inline constexpr const char* kSelectAddressFirstText = "削除するアカウントを選択してください。";
inline constexpr const char* kListSettingsNotSavedText = "設定ファイルが保存できません。";

// "<address> を削除します。よろしいですか？" with the address as the list shows it, and "<n>
// 個のメールアドレスを削除します。よろしいですか？".
std::string DeleteOneAddressQuestion(std::string_view shown);
std::string DeleteAddressesQuestion(int count);

// The add button needs a typed address, the delete button a selected row.
inline bool CanAddAddress(std::string_view typed) { return !typed.empty(); }
inline bool CanDeleteAddresses(std::size_t selected) { return selected != 0; }

class CListEditing {
 public:
  CListEditing(CSenderLists& lists, CSettings& settings, IUserInterface& ui);

  SenderList Shown() const { return shown; }
  // The exact bytes of the shown list's addresses, in its order.
  std::vector<std::string> Rows() const { return lists.Entries(shown); }
  // Whether the shown list changed.
  bool Show(SenderList which);
  // Adds the address as typed, blanks and case included; whether the shown list changed.
  bool Add(std::string_view typed);

  // What the delete button did: nothing (no selection, or the question declined), one address
  // deleted (it goes back into the field, to be corrected and added again), or several.
  enum class Deleted { None, One, Several };
  // `chosen`: the selected addresses' bytes; `firstShown`: the first as the list shows it. Asks
  // first; with nothing chosen the user is told to select.
  Deleted Delete(const std::vector<std::string>& chosen, std::string_view firstShown);

  // OK: stores the switch in the settings file, then in the lists. False, with the user told,
  // when the file could not be written; the lists then keep their switch.
  bool Store(bool emptyAddressIsBad);

 private:
  CSenderLists& lists;
  CSettings& settings;
  IUserInterface& ui;
  SenderList shown = SenderList::Friend;
};

}  // namespace qm

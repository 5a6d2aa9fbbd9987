#include "ui/model/tray.h"

#include "mailboxes/mailbox_set.h"
#include "store/mailbox.h"

namespace qm {

TrayPicture CTrayBlink::Tick() {
  switch (state) {
    case 1:
      state = 2;
      return TrayPicture::Normal;
    case 2:
      state = 3;
      return TrayPicture::InBetween;
    case 3:
      state = 1;
      return TrayPicture::NewMail;
    default:
      return TrayPicture::Normal;
  }
}

std::uint32_t CTrayMouse::Handle(TrayEvent event) {
  constexpr std::uint32_t kEnd = TrayEndNewMail | TrayCloseNotification;
  switch (event) {
    case TrayEvent::LeftDown:
      leftDoubleClicked = false;
      return TrayNothing;
    case TrayEvent::LeftUp:
      return leftDoubleClicked ? TrayNothing : kEnd | TrayShowMailboxMenu;
    case TrayEvent::LeftDoubleClick:
      leftDoubleClicked = true;
      return kEnd | TrayShowMainWindow;
    case TrayEvent::RightDown:
      rightDoubleClicked = false;
      return TrayNothing;
    case TrayEvent::RightUp:
      return rightDoubleClicked ? TrayNothing : kEnd | TrayShowTrayMenu;
    case TrayEvent::RightDoubleClick:
      rightDoubleClicked = true;
      return kEnd | TrayRetrieveAll;
    case TrayEvent::MiddleUp:
      return kEnd | TrayMarkDustboxesRead;
    case TrayEvent::Other:
      break;
  }
  return TrayNothing;
}

void MarkEveryDustboxRead(CMailboxSet& mailboxes) {
  for (int i = mailboxes.Count() - 1; i >= 0; --i) {
    if (CMailbox* mailbox = mailboxes.Get(i)) mailbox->Dustbox()->MarkAllOpened();
  }
}

int MailboxToShowForNewMail(const CMailboxSet& mailboxes) {
  const int first = mailboxes.FirstToNotify();
  return first >= 0 ? first : 0;
}

}  // namespace qm

#include "ui/model/options_values.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/settings.h"

namespace qm {

OptionsValues ReadOptions(const CSettings& settings) {
  OptionsValues values;
  values.port = std::clamp(settings.Get(settings::Port), kOptionsMinPort, kOptionsMaxPort);
  values.mailer = settings.Get(settings::Mailer);
  values.startupRetrieve = settings.Get(settings::StartupRetrieve) != 0;
  values.showSplash = settings.Get(settings::ShowSplash) != 0;
  values.notifyTime = std::clamp(settings.Get(settings::NotifyTime), 0, kOptionsMaxNotifyTime);
  values.notifyBySound = settings.Get(settings::NotifyBySound) != 0;
  values.notifySound = settings.Get(settings::NotifySound);
  const int x = settings.Get(settings::NotifyWindowPosX);
  const int y = settings.Get(settings::NotifyWindowPosY);
  values.defaultPosition = x == settings::kDefaultPosition || y == settings::kDefaultPosition;
  if (!values.defaultPosition) {
    values.positionX = std::clamp(x, -kOptionsMaxCoordinate, kOptionsMaxCoordinate);
    values.positionY = std::clamp(y, -kOptionsMaxCoordinate, kOptionsMaxCoordinate);
  }
  return values;
}

bool WriteOptions(CSettings& settings, const OptionsValues& values) {
  bool ok = settings.Set(settings::Port, values.port);
  ok = settings.Set(settings::Mailer, values.mailer.c_str()) && ok;
  ok = settings.Set(settings::StartupRetrieve, values.startupRetrieve ? 1 : 0) && ok;
  ok = settings.Set(settings::ShowSplash, values.showSplash ? 1 : 0) && ok;
  ok = settings.Set(settings::NotifyTime, values.notifyTime) && ok;
  ok = settings.Set(settings::NotifyBySound, values.notifyBySound ? 1 : 0) && ok;
  ok = settings.Set(settings::NotifySound, values.notifySound.c_str()) && ok;
  if (values.defaultPosition) {
    ok = settings.Remove(settings::NotifyWindowPosX) && ok;
    ok = settings.Remove(settings::NotifyWindowPosY) && ok;
  } else {
    ok = settings.Set(settings::NotifyWindowPosX, values.positionX) && ok;
    ok = settings.Set(settings::NotifyWindowPosY, values.positionY) && ok;
  }
  return ok;
}

OptionsPlay ChooseOptionsPlay(std::string_view soundField) {
  if (soundField.empty()) return OptionsPlay::Beep;
  std::error_code error;
  return std::filesystem::is_regular_file(std::filesystem::path(soundField), error)
             ? OptionsPlay::File
             : OptionsPlay::Missing;
}

}  // namespace qm

#include "app/settings.h"

#include <filesystem>

namespace qm {

namespace {

std::string SettingsPath(const std::string& directory) {
  std::error_code error;
  std::filesystem::path base =
      directory.empty() ? std::filesystem::current_path(error) : std::filesystem::path(directory);
  return std::filesystem::absolute(base / settings::kFileName, error).string();
}

}  // namespace

CSettings::CSettings(const std::string& directory) : profile(SettingsPath(directory)) {}

int CSettings::Get(const IntSetting& setting) const {
  return profile.GetInt(setting.section, setting.key, setting.defaultValue);
}

std::string CSettings::Get(const StringSetting& setting) const {
  return profile.GetString(setting.section, setting.key, setting.defaultValue);
}

int CSettings::GetInt(const char* section, const char* key, int defaultValue) const {
  return profile.GetInt(section, key, defaultValue);
}

bool CSettings::Set(const IntSetting& setting, int value) {
  return profile.WriteInt(setting.section, setting.key, value);
}

bool CSettings::Set(const StringSetting& setting, const char* value) {
  return profile.WriteString(setting.section, setting.key, value);
}

bool CSettings::Remove(const IntSetting& setting) {
  return profile.RemoveKey(setting.section, setting.key);
}

}  // namespace qm

// The one place where a changed setting acts beyond being held; LoadConfig and
// the settings dialog's rules both come here.
#include "config/settings.h"

namespace kelvox {

void TSettings::SettingChanged(std::string_view key) {
  if (key == "WindowsStart") {
    if (StartupEntry) StartupEntry(WindowsStart);
  } else if (key == "Acces") {
    AccessMode = Acces;
  } else if (key == "destination") {
    DestinationMode = destination;
  }
}

}  // namespace kelvox

#include "app/service_console.h"

namespace kelvox {

void TServiceConsole::SetStatusText(int panel, const std::string& text) {
  if (panel == 0) status_ = text;
  console_.SetStatusText(panel, text);
  Changed();
}

void TServiceConsole::SetUserCount(const std::string& text) {
  console_.SetUserCount(text);
  Changed();
}

void TServiceConsole::SetTrayHint(const std::string& text) {
  console_.SetTrayHint(text);
  Changed();
}

}  // namespace kelvox

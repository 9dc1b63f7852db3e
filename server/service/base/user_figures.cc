#include "server/service/base/user_figures.h"

#include <map>

#include "server/service/base/settings.h"

namespace tarvo {

namespace {

std::map<std::string, UserFigures>& Figures() {
  static std::map<std::string, UserFigures> figures;
  return figures;
}

}  // namespace

UserFigures* UserFiguresFor(const std::string& name) {
  if (!ServerSettings.MetricsPerUser) return nullptr;
  return &Figures()[name];
}

std::vector<std::pair<std::string, UserFigures>> CopyUserFigures() {
  const auto& figures = Figures();
  return {figures.begin(), figures.end()};
}

}  // namespace tarvo

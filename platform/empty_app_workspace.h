#pragma once

#include "platform/app_workspace.h"

namespace tillerpad::platform {

// A desktop without applications, for builds that have no adapter for them:
// the phone's list stays empty, icons are missing and opening finds nothing.
class EmptyAppWorkspace final : public AppWorkspace {
 public:
  std::vector<std::string> appFolders() override { return {}; }
  std::vector<FolderEntry> listFolder(const std::string&) override { return {}; }
  bool isCandidate(const std::string&) override { return false; }
  std::optional<Description> describe(const std::string&, const std::string&) override { return std::nullopt; }
  Running running() override { return {}; }
  std::optional<Icon> icon(const std::string&, int) override { return std::nullopt; }
  OpenResult open(const std::string&) override { return {OpenResult::Outcome::unknown, ""}; }
  void setOnChange(std::function<void()>) override {}
};

}  // namespace tillerpad::platform

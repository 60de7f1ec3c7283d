// velp2p watch: prints the peers that arrive and leave and the statuses they announce, as "+ name",
// "- name" and "= name status (statusName) description" lines, or as JSON objects.
#ifndef VELP2P_APPS_VELCONSOLEWATCH_H
#define VELP2P_APPS_VELCONSOLEWATCH_H

#include "VELConsoleTool.h"

class VELConsoleWatch : public VELConsoleTool {
 public:
  explicit VELConsoleWatch(const VELConsoleOptions& options) : VELConsoleTool(options) {}

 protected:
  void Notified(VELNotification* notification) override;
  int Finish(bool) override { return 0; }

 private:
  // change is "arrival", "departure" or "status"; status and description only for a status.
  void Print(const char* change, const std::string& peer, int32_t status = 0,
             const std::string& description = std::string());
};

#endif

// A named owner object: the event loop files descriptor registrations under the command that made them.
#ifndef VELP2P_VELCOMMAND_H
#define VELP2P_VELCOMMAND_H

#include <string>

#include "velp2p/VELExport.h"

class VELP2P_API VELCommand {
 public:
  // The parent is remembered, not owned: commands form a tree of names, and whoever created a command
  // deletes it (directly or through deferred deletion).
  VELCommand(VELCommand* parent, const char* name);
  virtual ~VELCommand();

  VELCommand(const VELCommand&) = delete;
  VELCommand& operator=(const VELCommand&) = delete;

  const char* GetName() const;
  VELCommand* GetParent() const;

 private:
  VELCommand* _parent;  // not owned
  std::string _name;
};

#endif

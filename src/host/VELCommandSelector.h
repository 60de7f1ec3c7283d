// The process-wide root command under which registrations of the event loop are filed.
#ifndef VELP2P_HOST_VELCOMMANDSELECTOR_H
#define VELP2P_HOST_VELCOMMANDSELECTOR_H

#include "velp2p/VELCommand.h"

class VELCommandSelector : public VELCommand {
 public:
  // Created on first use and never deleted, so commands may point at it until the process ends.
  static VELCommand* GetCommandSelectorInstance();

 private:
  VELCommandSelector();
};

#endif

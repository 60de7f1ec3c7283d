#include "host/VELCleaner.h"

#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"

void VELCleaner::DeleteOnTransactionEnd(VELApplication* application, VELCommand* command) {
  if (command == nullptr) {
    return;
  }
  if (application != nullptr && application->DeferToTurnEnd([command]() { delete command; })) {
    return;
  }
  delete command;
}
